// <initguid.h> makes the DEFINE_GUID lines of the headers after it define their GUIDs. The
// stand-in's headers declare their GUIDs, and the simulated machine defines them, so including it
// changes nothing here.
#pragma once
