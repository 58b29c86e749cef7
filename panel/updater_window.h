#pragma once
// The one window: choose an update file, set the port number, start the
// update, quit. The update itself runs as an UpdateJob; everything here runs
// on the UI thread.

#include "device_folder_watch.h"
#include "line_resume.h"
#include "line_watch.h"
#include "port_names.h"
#include "port_scan.h"
#include "update_job.h"
#include "work_window.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <optional>
#include <vector>

namespace Ui {
class UpdaterWindow;
}

namespace j4 {

class UpdaterWindow final : public WorkWindow {
    Q_OBJECT

public:
    explicit UpdaterWindow(
        std::chrono::milliseconds answerTimeout = SerialLink::kDefaultAnswerTimeout);
    ~UpdaterWindow() override;

    // True from Start until the result message has been closed.
    bool updating() const { return updating_; }
    // The path Start sends.
    const QString& chosenFile() const { return chosenFile_; }

    // The last file chosen, as long as it is there and no other was; said
    // when it changed since.
    void offerLastFile();
    // Start sends what the plant assigns the line, not a file: its release,
    // work order and units done shown in the file's place, its hold said
    // with Resume beside it.
    void followLine(line::FollowSettings settings);

public slots:
    void chooseFile();
    // What choosing `path` in the file dialog does.
    void setUpdateFile(const QString& path);
    void startUpdate();
    void quit() override;

protected:
    bool working() const override { return job_.running(); }
    void stopWork() override { job_.requestStop(); }
    void closeEvent(QCloseEvent* event) override;
    QLabel* recordsLine() override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private slots:
    void onOpeningPort();
    void onTransferring();
    void onProgress(int percent);
    void onFinished(const j4::runs::AttemptReport& report);
    void showWaiting();

private:
    enum class MessageKind { Info, Error };
    void showMessage(MessageKind kind, const QString& text, const QString& detail);
    void showProgress(bool shown);
    // The port number, remembered between runs.
    static inline const QString kPortKey = QStringLiteral("portNumber");
    // The last result, kept in the window once its message is closed, until
    // the next Start.
    void showResult();
    // The file's field holds a path of some forty characters in any font.
    void fitFileName();
    // The list of ports by name beside the number, as adapters come and go.
    void fillPortList();
    // During an update: "Stop the update?"; yes stops it at a frame boundary.
    void askToStop();
    void endAttempt();
    QString portToolTip(int number);
    void onPortsListed(std::vector<PortDescription> ports);
    // Names the device behind the number beside it: "ttyUSB0 — FT232R USB
    // UART, serial A50285BI", or that no port has the number.
    void showDevice();
    // Who released the file at `path`, under the file's name, when keys are
    // trusted; false when the file is refused and must not be started.
    bool showRelease(const QString& path);
    // Shows `path` as the file Start sends, said at once when it cannot be.
    void takeFile(const QString& path);
    void showLine(const QString& sends, const QString& held);
    void lineNoticed(const QString& text);
    // Under the line: its hold, else what was last said of it.
    void showLineNote();
    bool followsLine() const { return !lineName_.isEmpty(); }

    std::unique_ptr<Ui::UpdaterWindow> ui_;
    UpdateJob job_;
    QString chosenFile_;
    bool updating_ = false;
    QString pendingNotice_; // said with the result (a log that cannot be written)
    QTimer waitingTimer_;
    // The system's ports, as last listed off the UI thread.
    std::vector<PortDescription> ports_;
    QElapsedTimer portsAge_;
    DeviceFolderWatch deviceFolders_;
    bool portsAsked_ = false; // the first listing, once the window is drawn
    PortScan portScan_{
        this, [this](std::vector<PortDescription> ports) { onPortsListed(std::move(ports)); }};
    QString lastResult_;
    bool lastCompleted_ = false;
    QString lineName_;         // empty: the chosen file is sent
    bool lineFetched_ = false; // its assignment has been shown
    QString lineHeld_;         // why the line is held; empty: it is not
    QString lineSaid_;
    std::optional<LineResume> resume_; // made with the window's button
    LineWatch lineWatch_;              // after the job: ended once its attempt is
};

} // namespace j4
