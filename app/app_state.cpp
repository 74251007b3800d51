#include "app/app_state.h"

#include "terminal/terminal_screen.h"

namespace corvid1 {

AppState& appState() {
    static AppState state;
    return state;
}

}  // namespace corvid1
