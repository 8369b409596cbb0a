#pragma once

// This process's id, as the operating system numbers it (what a person sees in ps or the Task Manager).
unsigned long current_process_id();
