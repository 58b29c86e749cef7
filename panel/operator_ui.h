#pragma once
// The window operations the operator actions need. The real window carries
// them out on its own thread; tests use a fake.

#include <QString>

#include <optional>

namespace j4 {

struct FileDialogRequest {
    QString startDirectory;
    QString defaultPattern; // "*.j4u"
    QString fileTypes;      // "J4 Update files (*.j4u)"
    QString title;
    bool restrictExtension = true;
    bool allowCancel = true;
    bool allowNewDirectory = true;
};

class OperatorUi {
public:
    virtual ~OperatorUi() = default;

    // Modal; returns once the operator has closed it. `detail` is extra
    // information shown under the text.
    virtual void messagePopup(const QString& title, const QString& text,
                              const QString& detail = {}) = 0;
    // The chosen path, or nothing when the operator cancelled.
    virtual std::optional<QString> fileSelectPopup(const FileDialogRequest& request) = 0;
    // Replaces a text box's whole text.
    virtual void resetTextBox(int control, const QString& text) = 0;
    // A numeric or slide shows `value` at once.
    virtual void setValue(int control, int value) = 0;
    virtual int value(int control) = 0;
    // A dimmed control takes no input.
    virtual void setDimmed(int control, bool dimmed) = 0;
    virtual void setVisible(int control, bool visible) = 0;
    // No control of a dimmed panel takes input.
    virtual void setPanelDimmed(bool dimmed) = 0;
    // Shows the panel and brings it to the front.
    virtual void displayPanel() = 0;
    // Returns once everything asked of the window so far is on screen.
    virtual void processEvents() = 0;
    // Ends the event loop.
    virtual void quitUserInterface() = 0;
};

} // namespace j4
