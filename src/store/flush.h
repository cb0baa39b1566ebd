// The background write-back thread.
#pragma once

// Starts the thread that writes dirty chunks back about every 5 s, or as soon as half the
// slots are dirty; when no thread can be made the target serves without it.
void flush_start();
// Ends that thread, if it runs, before the cache goes.
void flush_stop();
