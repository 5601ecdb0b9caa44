#pragma once

// SQLite's busy handler for every connection of the library: pauses 10 to 100 ms, chosen by
// rand(), and lets SQLite retry while it has been called fewer than 500 times for this lock.
int DbBusyHandler(void* data, int count);
