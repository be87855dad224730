// The console window: one download's display, its commands, the share
// registrations.
#pragma once

#include "dialog/transferinfo.h"
#include "platform/cp949string.h"
#include "platform/dialogbase.h"
#include "platform/thread.h"
#include "platform/wintypes.h"

#include <QIcon>

#include <atomic>
#include <cstdint>
#include <memory>

inline constexpr UINT WM_TRANSFER_ERROR = WM_USER + 10;    // 1034
inline constexpr UINT WM_TRANSFER_PROGRESS = WM_USER + 11; // 1035

class CDownloadRun;

class CQuarnDemoDlg : public platform::CDialogEx {
    Q_OBJECT
public:
    explicit CQuarnDemoDlg(QWidget* pParent = nullptr);
    ~CQuarnDemoDlg() override;

    // Members in declaration order. m_bStop is the current run's stop flag:
    // every run gets a fresh one, so a new start never revives an old worker.
    QIcon m_hIcon;
    std::shared_ptr<std::atomic<bool>> m_bStop;
    CString m_strState;
    double m_dSpeed;
    std::int32_t m_nRemainTime;
    std::int64_t m_nFileSize;
    std::int64_t m_nReceiveSize;
    CProgressCtrl m_progress;

    // Download commands.
    void OnStartDownload();
    void OnStartDownloadJson();
    void OnStopDownload();

    // Share registration commands.
    void OnSetShareFile();
    void OnSetShareFile2();
    void OnSetShareFile3();

    // Display of the workers' reports.
    LRESULT OnTransferError(WPARAM wParam, LPARAM lParam);
    LRESULT OnTransferProgress(WPARAM wParam, LPARAM lParam);

    // Request building and reply reading, used by the workers.
    BOOL FillTransferInfo(TransferInfo& info);
    bool BuildJsonRequest(char16_t* pBuffer);
    std::int32_t ParseStartReply(const char16_t* pReply);
    std::int32_t PollJsonStatus(TransferInfo* pInfo);

    // The workers' pause; tests shorten it here and nowhere else.
    platform::CPacer& Pacer() { return m_pacer; }
    // Run number of the current (latest) download; reports of others are stale.
    std::uint32_t CurrentRun() const { return m_nRun; }
    std::size_t RunningWorkers() const { return m_workers.Running(); }

    // Stops the transfer and waits for every worker; the window then takes
    // no more reports. Runs on close and at destruction.
    void StopAllWorkers();

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void customEvent(QEvent* event) override;
    void done(int result) override;

private:
    void StartWorker(AFX_THREADPROC proc);
    void EnableStartButtons(BOOL bEnable);
    void FillProgressBar(std::int64_t nFileSize);

    platform::CPacer m_pacer;
    platform::CWorkerThreads m_workers;
    std::uint32_t m_nRun = 0;
    bool m_bClosed = false;
    // A transfer report of the current run has set the bar's range.
    bool m_bBarRanged = false;
};

// Worker procedures; the parameter is the run (a CDownloadRun).
UINT ParamDownloadWorker(LPVOID pParam);
UINT JsonDownloadWorker(LPVOID pParam);
