#pragma once
// What the operator's buttons do: choose the update file, run a whole update,
// and the clean-up that ends every attempt.

#include "frame_image.h"
#include "operator_ui.h"
#include "serial_link.h"
#include "transfer.h"

#include <QString>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>

namespace j4 {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Everything the actions share between button presses. Holds the 256 KiB
// frame image, so it lives in static storage, never on a stack.
struct UpdaterState {
    QString fullname; // path of the chosen update file
    QString dirname;  // the file dialog's start directory (never set: platform default)
    FilePtr inFile;
    std::uint8_t bFile_is_Open = 0; // chosen and opened, not yet used by an attempt
    std::int32_t ComPortNumber = 0;
    std::int32_t ComErr = 0; // result of the port's open
    FrameImage image;        // buffer, bufferSize
    TransferCounters counters;
};

// What the callbacks get as their callback data.
struct OperatorContext {
    UpdaterState& state;
    OperatorUi& ui;
    SerialLink& link;
    // What a port number stands for, for the detail of a port message.
    std::function<QString(int portNumber)> describePort;
};

int Choice_File(int panel, int control, int event, void* callbackData, int eventData1,
                int eventData2);
int Start_Update(int panel, int control, int event, void* callbackData, int eventData1,
                 int eventData2);
int Quit(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);
void Prepare_Exit(OperatorContext& context);

} // namespace j4
