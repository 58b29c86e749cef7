#pragma once
// The panel and its controls, by id, and the one event the callbacks act on.

namespace j4 {

inline constexpr int PANEL_MAIN = 1;
inline constexpr int NUMERIC_COMPORT = 2;
inline constexpr int BUTTON_FILE_CHOICE = 3;
inline constexpr int NUMERICSLIDE_PROGRESS = 4;
inline constexpr int COMMANDBUTTON = 5;
inline constexpr int TEXTBOX_FILE_NAME = 6;
inline constexpr int BUTTON_START_UPDATE = 7;

inline constexpr int EVENT_COMMIT = 1;

// A control callback: (panel, control, event, callback data, two event data words).
using ControlCallback = int (*)(int panel, int control, int event, void* callbackData,
                                int eventData1, int eventData2);

} // namespace j4
