// The tool's entry routine: command line, log, elevation check, the stages in order, the verdict.
#pragma once

// The log used when the command line names none: a fixed place, not taken from the environment.
inline constexpr wchar_t kDefaultLogPath[] = L"C:\\ProgramData\\devpurge\\devpurge.log";

// Runs the whole cleanup for the wide command-line arguments and returns the process exit code:
// 0 done, 1 done but a restart is needed, -10 not elevated, -20 device stage failed, -30 log not
// opened or pnputil not started.
int DevpurgeMain(int argc, wchar_t **argv);
