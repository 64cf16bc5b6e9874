#include "app/KEBOptions.h"

KEBOptions::KEBOptions() {}
void KEBOptions::SetFromCommandLine(const char*) {}
