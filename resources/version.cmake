# The driver image's version: set here and nowhere else. The version block of
# the image (BootGuardElam.rc, through the generated bootguard_version.h) and
# the INF's DriverVer both come from these two values.
set(BOOTGUARD_VERSION 1.0.0.0)
# DriverVer date of the INF, mm/dd/yyyy.
set(BOOTGUARD_VERSION_DATE 12/01/2026)

# Derived forms: 1,0,0,0 for the resource script's fixed block.
string(REPLACE "." "," BOOTGUARD_VERSION_COMMAS "${BOOTGUARD_VERSION}")
if(NOT BOOTGUARD_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "BOOTGUARD_VERSION must have four numeric parts: ${BOOTGUARD_VERSION}")
endif()
