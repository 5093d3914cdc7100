// bhv: the acquisition program. The main window arrives with the window work.
#include <cstdio>

int main() {
    std::puts("bhv: the main window is not built yet");
    return 1;
}
