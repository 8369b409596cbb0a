#pragma once

// The exit status `status` of a run, after giving the person time to read why it failed when the console
// window would otherwise close with the program (started from Explorer on Windows,
// console_closes_with_process()): for a failure (a status that is not 0 and no interrupt asked for), says so
// and waits until Enter is pressed or input ends. Otherwise returns at once. Main thread, last thing in main.
int keep_window_for_reading(int status);
