# Camera cueing's logic (trklib::sited::cue): where a camera points for a
# site point, the lead and zoom, the deadband, which camera follows which
# object, the controller over time, and a camera's alignment from surveyed
# points. Included by this folder's CMakeLists.txt, which builds sited_cue.
set(SITED_CUE_LOGIC_SOURCES aim.cpp chooser.cpp cuecontroller.cpp cameraalign.cpp)
