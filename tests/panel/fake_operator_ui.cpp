#include "fake_operator_ui.h"

namespace j4::testing {

FakeOperatorUi::FakeOperatorUi() {
    // The panel as loaded: the "No file" state.
    values = {{NUMERIC_COMPORT, 1}, {NUMERICSLIDE_PROGRESS, 0}};
    visible = {{NUMERICSLIDE_PROGRESS, false}, {BUTTON_START_UPDATE, true}};
    dimmed = {{BUTTON_START_UPDATE, true}};
    text = {{TEXTBOX_FILE_NAME, QString()}};
}

void FakeOperatorUi::messagePopup(const QString& title, const QString& body,
                                  const QString& detail) {
    log << QStringLiteral("message %1: %2").arg(title, body);
    messages.push_back({title, body, detail, values[NUMERICSLIDE_PROGRESS],
                        visible[NUMERICSLIDE_PROGRESS], panelDimmed});
}

std::optional<QString> FakeOperatorUi::fileSelectPopup(const FileDialogRequest& request) {
    log << QStringLiteral("file dialog");
    dialogRequests.push_back(request);
    const QString answer = dialogAnswers.empty() ? QString() : dialogAnswers.front();
    if (!dialogAnswers.empty())
        dialogAnswers.pop_front();
    if (answer.isEmpty())
        return std::nullopt;
    return answer;
}

void FakeOperatorUi::resetTextBox(int control, const QString& value) {
    log << QStringLiteral("text %1 '%2'").arg(control).arg(value);
    text[control] = value;
}

void FakeOperatorUi::setValue(int control, int value) {
    if (control == NUMERICSLIDE_PROGRESS) {
        slideValues.push_back(value);
        // A figure reported again for a resent frame changes nothing on screen.
        if (slideValues.size() > 1 && slideValues[slideValues.size() - 2] == value)
            return;
    }
    log << QStringLiteral("value %1 %2").arg(control).arg(value);
    values[control] = value;
}

int FakeOperatorUi::value(int control) {
    log << QStringLiteral("read %1").arg(control);
    return values[control];
}

void FakeOperatorUi::setDimmed(int control, bool isDimmed) {
    log << QStringLiteral("dim %1 %2").arg(control).arg(isDimmed);
    dimmed[control] = isDimmed;
}

void FakeOperatorUi::setVisible(int control, bool isVisible) {
    log << QStringLiteral("visible %1 %2").arg(control).arg(isVisible);
    visible[control] = isVisible;
}

void FakeOperatorUi::setPanelDimmed(bool isDimmed) {
    log << QStringLiteral("panel dim %1").arg(isDimmed);
    panelDimmed = isDimmed;
}

void FakeOperatorUi::displayPanel() {
    log << QStringLiteral("display");
}

void FakeOperatorUi::processEvents() {
    log << QStringLiteral("process events");
}

void FakeOperatorUi::quitUserInterface() {
    log << QStringLiteral("quit");
    quitRequested = true;
}

} // namespace j4::testing
