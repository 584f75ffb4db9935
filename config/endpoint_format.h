// The default format Windows keeps for a playback endpoint, the one miniaudio's exclusive stream
// opens the endpoint in.
#pragma once

#include <miniaudio.h>

#include "playback_choice.h"

// Asks the audio endpoint with miniaudio's WASAPI device `id` for its default-format property
// and whether it accepts that format for exclusive use. Under a system that keeps no such
// property, format->known stays false.
void QueryEndpointFormat(const ma_device_id &id, EndpointFormat *format);
