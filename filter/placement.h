/*
 * Code placement of the filter's routines. The PnP manager calls AddDevice, the PnP dispatch
 * routine and unload at PASSIVE_LEVEL only, so they may be paged out (section PAGE); DriverEntry
 * runs once and its section (INIT) is discarded after load. Everything else can run at
 * DISPATCH_LEVEL (completion, power, I/O pass-through) and stays resident.
 *
 * The WDK compiler takes code_seg, GCC targeting Windows takes a section attribute; the host
 * build of the sources has no sections to place.
 */
#ifndef UMF_PLACEMENT_H
#define UMF_PLACEMENT_H

#if defined(_MSC_VER)
#define UMF_PAGED_CODE __declspec(code_seg("PAGE"))
#define UMF_INIT_CODE __declspec(code_seg("INIT"))
#elif defined(__GNUC__) && defined(_WIN32)
#define UMF_PAGED_CODE __attribute__((section("PAGE")))
#define UMF_INIT_CODE __attribute__((section("INIT")))
#else
#define UMF_PAGED_CODE
#define UMF_INIT_CODE
#endif

#endif /* UMF_PLACEMENT_H */
