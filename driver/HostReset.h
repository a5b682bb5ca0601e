// Host builds only: puts the module state back to where a freshly loaded image
// starts (no firmware tables, an all-zero Setup image; the entry point resets
// the rest), so that the firmware model can load the driver again in the same
// process. The image has no such function.
#pragma once

void ResetDriverImage();
