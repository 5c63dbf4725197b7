// The background version query is not built yet.
#include "app/startup_steps.h"

void StartVersionQueries() {}
void StopVersionQueries() {}
