#pragma once

// Windows may run a process that shows the user nothing at a lower quality of service, and on
// Windows 11 may leave its timer resolution requests unheard (the workers raise the resolution
// while a repeat is due, see ServiceHeldKey), to save power. Velmora shows nothing and sleeps
// almost always, but when it wakes a key is waiting: it asks out of both. Looked up at run time:
// older systems lack the call, and a failure changes nothing but timing.
void OptOutOfPowerThrottling();
