#pragma once
// The one window. It carries out the OperatorUi operations on the UI thread
// and runs the operator actions on a thread of their own, so the window keeps
// repainting while a transfer blocks on the port.

#include "operator_actions.h"
#include "operator_ui.h"
#include "panel_ids.h"

#include <QThread>
#include <QWidget>

#include <memory>

namespace Ui {
class MainPanel;
}

namespace j4 {

class MainPanel final : public QWidget, public OperatorUi {
    Q_OBJECT

public:
    // Builds the panel and binds each control to the routine its definition
    // names. Returns nothing when a named routine does not exist.
    static std::unique_ptr<MainPanel> load(UpdaterState& state, SerialLink& link);
    ~MainPanel() override;

    // OperatorUi; callable from any thread.
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

    // True from a button press until its routine has returned.
    bool busy() const { return busy_; }

signals:
    void routineFinished();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    MainPanel(UpdaterState& state, SerialLink& link);
    bool bindCallbacks();
    void dispatch(int control, ControlCallback callback);
    void refreshPortToolTip(int number);
    QWidget* control(int id) const;
    template <class F> auto onUiThread(F&& f);
    template <class Result, class Make, class Read> Result runDialog(Make make, Read read);

    std::unique_ptr<Ui::MainPanel> ui_;
    OperatorContext context_;
    QThread actionsThread_;
    std::unique_ptr<QObject> actionsHost_; // lives in actionsThread_
    bool busy_ = false;
    int lastProgress_ = -1; // touched only by the actions thread
};

} // namespace j4
