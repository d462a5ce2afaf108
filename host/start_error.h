#pragma once

// The loader's error codes: the system error numbers they stand for.
enum {
    START_ERR_STUB_NOT_FOUND = 2,  // ERROR_FILE_NOT_FOUND: the stub cannot be started
    START_ERR_ACCESS = 5,          // ERROR_ACCESS_DENIED: a file cannot be opened
    START_ERR_MEMORY = 8,          // ERROR_NOT_ENOUGH_MEMORY: no room for the decoder
    START_ERR_BAD_DATA = 13,       // ERROR_INVALID_DATA: the payload was refused
    START_ERR_WRITE = 29,          // ERROR_WRITE_FAULT: the stub file cannot be written
};

// Shows the German error box for 'code' and returns once it is dismissed.
void show_start_error(int code);
