// Definitions of the module globals. Each is zero-initialised, as a freshly
// loaded image holds it; nothing here needs a constructor.
#include "Driver.h"

EFI_SYSTEM_TABLE *mSystemTable;
EFI_BOOT_SERVICES *mBootServices;
EFI_RUNTIME_SERVICES *mRuntimeServices;

EFI_HANDLE mDriverHandle;
EFI_HANDLE mRootBridgeHandle;
EFI_PCI_PLATFORM_PROTOCOL mPciPlatform;
EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *mRootBridgeIo;
EFI_CPU_IO_PROTOCOL *mCpuIo;
UINT8 mSetupData[SETUP_DATA_SIZE];
PCI_CALLBACK_PROTOCOL mPciCallback;
LIST_ENTRY mCallbackList;
PCI_DEVICE_RECORD mDeviceRecord;
UINT32 mCurrentPhaseMask;
