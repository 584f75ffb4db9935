// Stand-in for <windows.h>: the subset of the Windows API that the shipped code calls,
// implemented over the simulated machine (platform/sim).
#pragma once
#include "win/base.h"
#include "win/module.h"
#include "win/registry.h"
#include "win/strings.h"
#include "win/shell.h"
#include "win/handles.h"
#include "win/file.h"
#include "win/memory.h"
#include "win/heap.h"
#include "win/process.h"
#include "win/security.h"
#include "win/systime.h"
#include "win/sync.h"
#include "win/thread.h"
