# Camera cueing's logic: pointing, the normalised spaces, the lead and the
# deadband on a simulated camera the controller drives, the chooser, the
# lost object sent home, and a camera's alignment from surveyed points.
trklib_add_gtest(cue_logic_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/cue_logic_test.cpp
    LIBS sited_cue Qt5::Core)
