#pragma once
// A window that is only state and a log: every call is recorded in order, so
// tests can check the order of effects as well as the end state.

#include "operator_ui.h"
#include "panel_ids.h"

#include <QString>
#include <QStringList>

#include <deque>
#include <map>
#include <optional>

namespace j4::testing {

class FakeOperatorUi : public OperatorUi {
public:
    FakeOperatorUi();

    struct Message {
        QString title;
        QString text;
        QString detail;
        int slideWhenShown; // what the progress slide read while the box was up
        bool slideVisible;
        bool panelDimmed;
    };

    // What the file dialog answers next: a path, or an empty text for cancel.
    std::deque<QString> dialogAnswers;

    // State, per control id.
    std::map<int, int> values;
    std::map<int, bool> visible;
    std::map<int, bool> dimmed;
    std::map<int, QString> text;
    bool panelDimmed = false;
    bool quitRequested = false;

    // What happened.
    QStringList log;
    std::vector<Message> messages;
    std::vector<FileDialogRequest> dialogRequests;
    std::vector<int> slideValues;

    void messagePopup(const QString& title, const QString& text, const QString& detail) override;
    std::optional<QString> fileSelectPopup(const FileDialogRequest& request) override;
    void resetTextBox(int control, const QString& text) override;
    void setValue(int control, int value) override;
    int value(int control) override;
    void setDimmed(int control, bool dimmed) override;
    void setVisible(int control, bool visible) override;
    void setPanelDimmed(bool dimmed) override;
    void displayPanel() override;
    void processEvents() override;
    void quitUserInterface() override;
};

} // namespace j4::testing
