// The Setup image: the "Setup" variable read whole into mSetupData.
#pragma once

#include "core/Uefi.h"

// Reads the "Setup" variable into mSetupData with the image's full size. On
// any error mSetupData keeps what it held; a shorter variable fills only its
// own length.
EFI_STATUS LoadSetupData();
