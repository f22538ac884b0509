// The driver's global state. All of it is constant-initialized: the driver
// has no global constructors.
#include "driver/elam.h"

ULONG g_DriverBlocking = 1;
UNICODE_STRING g_ConfigKeyPath = {0, 0, nullptr};
PVOID g_ModuleSnapshot = nullptr;
LIST_ENTRY g_RuleLists[RULE_TYPE_COUNT] = {};
LIST_ENTRY g_ExcludedDrivers = {};
LIST_ENTRY g_BlockedDrivers = {};
