#include "app/EntryPoint.h"

int runUpdater(int&, char**) { return 0; }
