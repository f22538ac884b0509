# The driver's sources, shared by the host build and the Windows image build.
set(ELAM_DRIVER_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/../driver/globals.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../config/multistring.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../config/rules.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../config/match.cpp
)
