// The canary's resource in dispset-diag.exe: an RCDATA resource of this ID holds the bytes of
// the canary library (app/diag/canary), built for the companion's own architecture. A macro,
// since the resource script includes it too.
#pragma once

#define DISPSET_CANARY_RESOURCE 2
