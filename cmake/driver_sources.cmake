# The driver's sources, shared by the host build and the Windows image build.
set(ELAM_DRIVER_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)
set(ELAM_DRIVER_SOURCES
  ${ELAM_DRIVER_ROOT}/driver/globals.cpp
  ${ELAM_DRIVER_ROOT}/driver/entry.cpp
  ${ELAM_DRIVER_ROOT}/driver/classify.cpp
  ${ELAM_DRIVER_ROOT}/driver/report.cpp
  ${ELAM_DRIVER_ROOT}/config/configuration.cpp
  ${ELAM_DRIVER_ROOT}/config/multistring.cpp
  ${ELAM_DRIVER_ROOT}/config/rules.cpp
  ${ELAM_DRIVER_ROOT}/config/match.cpp
  ${ELAM_DRIVER_ROOT}/image/modules.cpp
  ${ELAM_DRIVER_ROOT}/image/version_info.cpp
  ${ELAM_DRIVER_ROOT}/image/debug_info.cpp
)
