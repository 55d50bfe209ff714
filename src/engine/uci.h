// The UCI command loop.
#pragma once
#include <cstdint>

// Reads a decimal integer the way the protocol's numbers are read: optional spaces, optional
// sign, digits; anything else reads as 0.
int64_t read_integer(const char* text);

// Handles one input line (terminated by a line feed or the end of the text). Returns true when
// the line asks the loop to end.
bool handle_command(char* line);

// Runs the command loop on standard input until "quit" or end of input; returns the exit code.
int command_loop();
