// Tonvaled's entry point.
#include "service_app.h"

int wmain(int argc, wchar_t **argv, wchar_t **) { return ServiceProgramMain(argc, argv); }
