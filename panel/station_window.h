#pragma once
// The station window, for production lines: one file, chosen once; a row per
// slot; each device plugged into a slot is updated once, with no box to
// close, and the slot waits for it to be pulled. The station itself runs as
// a StationJob; everything here runs on the UI thread.

#include "attempt.h"
#include "device_folder_watch.h"
#include "station_job.h"
#include "work_window.h"

#include <QWidget>

#include <memory>
#include <optional>
#include <vector>

namespace Ui {
class StationWindow;
}

namespace j4 {

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

public slots:
    void chooseFile();
    void addSlotFromEntry();
    void removeSelectedSlot();
    void startWatching();
    void stopWatching();
    void copyLog();
    void saveLog();
    void quit() override;

protected:
    bool working() const override { return watching(); }
    void stopWork() override { job_.requestStop(); }
    void closeEvent(QCloseEvent* event) override;
    QLabel* recordsLine() override;
    void recordsSaid(const QString& text) override { appendLog(text); }

private:
    struct Slot {
        runs::TargetName name;
        bool updating = false;
        runs::SlotTally tally;
    };
    enum Column {
        SlotColumn,
        AdapterColumn,
        SerialColumn,
        StateColumn,
        CompletedColumn,
        FailedColumn
    };

    void onStarted(int slot);
    void onProgress(int slot, int percent);
    void onFinished(int slot, const UpdateReport& report);
    void onTallied(int slot, const runs::SlotTally& tally);
    void onEnded();
    void setCell(int row, Column column, const QString& text);
    // The adapter in each slot now, as adapters come and go.
    void describeSlots();
    void describeSlot(int row);
    void showAdapter(int row, const std::string& device, const std::string& description,
                     const std::string& serial);
    void watchSlotFolders();
    bool anyUpdating() const;
    void appendLog(const QString& line);
    void updateControls();

    std::unique_ptr<Ui::StationWindow> ui_;
    StationJob job_;
    std::vector<Slot> stationSlots_;
    std::string file_; // bytes, as given
    std::shared_ptr<const DecodedFile> decoded_;
    std::string expectedSha256_;
    DeviceFolderWatch deviceFolders_;
};

} // namespace j4
