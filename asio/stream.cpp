// The stream methods of ASIOPelkor. The streaming engine is not built yet: until it is, these
// methods answer ASE_NotPresent (init: ASIOFalse) so that no host believes the driver streams.
#include "driver.h"

ASIOBool ASIOPelkor::init(void *) { return ASIOFalse; }

ASIOError ASIOPelkor::start() { return ASE_NotPresent; }

ASIOError ASIOPelkor::stop() { return ASE_NotPresent; }

ASIOError ASIOPelkor::getSamplePosition(ASIOSamples *, ASIOTimeStamp *) { return ASE_NotPresent; }

ASIOError ASIOPelkor::createBuffers(ASIOBufferInfo *, long, long, ASIOCallbacks *) { return ASE_NotPresent; }

ASIOError ASIOPelkor::disposeBuffers() { return ASE_NotPresent; }
