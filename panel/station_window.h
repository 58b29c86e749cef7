#pragma once
// The station window, for production lines: one file, chosen once; a row per
// slot; each device plugged into a slot is updated once, with no box to
// close, and the slot waits for it to be pulled. The station itself runs as
// a StationJob; everything here runs on the UI thread.

#include "attempt.h"
#include "device_folder_watch.h"
#include "line_resume.h"
#include "release_check.h"
#include "slot_rows.h"
#include "station_job.h"
#include "work_window.h"

#include <QTimer>
#include <QWidget>

#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace Ui {
class StationWindow;
}

namespace j4 {

// A path or a line as the system gave it (bytes), as text to show.
QString fromBytes(const std::string& bytes);

class StationWindow final : public WorkWindow {
    Q_OBJECT

public:
    explicit StationWindow(
        std::chrono::milliseconds answerTimeout = SerialLink::kDefaultAnswerTimeout);
    ~StationWindow() override;

    bool watching() const { return job_.running(); }
    // A slot more, unless watching; false (and why, in the log) when it
    // cannot be one.
    bool addSlot(const runs::TargetName& slot);
    // Opens, checks and decodes the file once; false (and why, under its
    // name) when it cannot be sent.
    bool setUpdateFile(const QString& path);
    // Only the file with this SHA-256 (hexadecimal) is taken: the released one.
    void expectSha256(const std::string& hex) { expectedSha256_ = hex; }
    // The keys, signature and version the file must have beyond the
    // trusted-keys folders (set before the file).
    void setReleaseOptions(release::ReleaseOptions release) { release_ = std::move(release); }
    // The line's settings: settle time, the rule a scanned unit serial must
    // match and whether a device waits for one, the command after each
    // attempt. The rule must be a valid regular expression.
    // `unitsFrom`: the scans' source j4_flash would read; here the scans
    // come from the Unit field (a keyboard scanner types into it).
    void setLine(std::chrono::milliseconds settle, const std::string& unitRule, bool requireUnit,
                 std::string onResult, const std::string& unitsFrom = {});
    // The file, slots and pins come from `profile` and cannot be changed
    // here; the window says so.
    void lockToProfile(const QString& profile);
    // The slots and file of the last station started without a profile.
    void offerLastSetup();
    // The slots' own names, in order (a profile's slot-names): shown in the
    // table instead of their paths.
    void setSlotNames(std::vector<QString> names);
    // The station sends what the plant assigns the line, not a file.
    void followLine(line::FollowSettings settings);

public slots:
    void chooseFile();
    void addSlotFromEntry();
    void removeSelectedSlot();
    void startWatching();
    void stopWatching();
    // The Unit field's line: checked, then given to the next device plugged in.
    void scanUnit();
    void copyLog();
    void saveLog();
    // "Resume line L?", asked first; then every hold of the line lifted.
    void askToResumeLine();
    void quit() override;

protected:
    bool working() const override { return watching(); }
    void stopWork() override { job_.requestStop(); }
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    QLabel* recordsLine() override;
    void recordsSaid(const QString& text) override { appendLog(text); }
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Slot {
        runs::TargetName name;
        bool updating = false;
        runs::SlotTally tally;
        QString lastResult; // "completed", or "failed: why": kept in view once pulled
    };

    void onStarted(int slot);
    void onProgress(int slot, int percent);
    void onFinished(int slot, const runs::AttemptReport& report);
    void onTallied(int slot, const runs::SlotTally& tally);
    void onEnded();
    RunCallbacks callbacks();
    // A device that has not answered for a second says so in its row.
    void showSilentDevices();
    // The adapter in each slot now, as adapters come and go.
    void describeSlots();
    void describeSlot(int row);
    void showAdapter(int row, const std::string& device, const std::string& description,
                     const std::string& serial);
    void watchSlotFolders();
    bool anyUpdating() const;
    void appendLog(const QString& line);
    void updateControls();
    void focusNextAction();
    void rememberSetup() const;
    void fitToFont();
    // The slots' labels in the table, short enough for its first column.
    void labelSlots();
    void countForTotals(const runs::AttemptReport& report);
    void showScanRefused(const QString& reason, std::optional<int> slot);
    void showLine(const QString& sends, const QString& held);

    std::unique_ptr<Ui::StationWindow> ui_;
    StationJob job_;
    std::optional<LineResume> resume_; // made with the window's button
    std::vector<Slot> stationSlots_;
    std::string file_; // bytes, as given
    std::shared_ptr<const DecodedFile> decoded_;
    std::string expectedSha256_;
    release::ReleaseOptions release_;
    StationLine line_;
    QString profile_; // empty: set up here
    std::vector<QString> slotNames_;
    QString unitHint_; // the Unit field's own hint, back after a refusal
    // The shift's totals: attempts, and units by their first attempt.
    struct Totals {
        int completed = 0;
        int failed = 0;
        int units = 0;     // each unit once (an attempt without one is a unit)
        int firstPass = 0; // units completed at their first attempt
        std::set<std::string> seen;
    } totals_;
    SlotRows rows_;
    QTimer silence_;
    DeviceFolderWatch deviceFolders_;
};

} // namespace j4
