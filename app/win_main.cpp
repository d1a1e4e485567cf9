// Process entry. Velmora takes no options and shows nothing: the command line and the
// show-window value are ignored.
#include "app/application.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) { return RunApplication(instance); }
