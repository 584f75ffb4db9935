/* The one translation unit that compiles miniaudio's implementation. Only device I/O is used. */
#define MINIAUDIO_IMPLEMENTATION
#include <miniaudio.h>
