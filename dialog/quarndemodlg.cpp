#include "dialog/quarndemodlg.h"

#include "dialog/downloadrun.h"
#include "platform/message.h"
#include "res/maindialog.h"
#include "res/resource.h"

#include <quarn/quarn.h>

#include <QPushButton>

CQuarnDemoDlg::CQuarnDemoDlg(QWidget* pParent)
    : platform::CDialogEx(res::MainDialogTemplate(), pParent),
      m_bStop(std::make_shared<std::atomic<bool>>(false)), m_dSpeed(0.0), m_nRemainTime(0),
      m_nFileSize(0), m_nReceiveSize(0) {
    for (int size : {16, 24, 32, 48, 256})
        m_hIcon.addFile(QString::fromUtf8(res::AppIconPath(size)));
}

CQuarnDemoDlg::~CQuarnDemoDlg() {
    StopAllWorkers();
}

void CQuarnDemoDlg::DoDataExchange(CDataExchange* pDX) {
    platform::CDialogEx::DoDataExchange(pDX);
    DDX_Text(pDX, IDC_SPEED, m_dSpeed);
    DDX_Text(pDX, IDC_REMAIN_TIME, m_nRemainTime);
    DDX_Text(pDX, IDC_STATE, m_strState);
    DDX_Control(pDX, IDC_PROGRESS, m_progress);
    DDX_Text(pDX, IDC_RECEIVE_SIZE, m_nReceiveSize);
    DDX_Text(pDX, IDC_FILE_SIZE, m_nFileSize);
}

BOOL CQuarnDemoDlg::OnInitDialog() {
    platform::CDialogEx::OnInitDialog();

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    const struct {
        int id;
        void (CQuarnDemoDlg::*handler)();
    } commands[] = {
        {IDC_SET_SHARE_FILE, &CQuarnDemoDlg::OnSetShareFile},
        {IDC_SET_SHARE_FILE2, &CQuarnDemoDlg::OnSetShareFile2},
        {IDC_SET_SHARE_FILE3, &CQuarnDemoDlg::OnSetShareFile3},
        {IDC_START_DOWNLOAD, &CQuarnDemoDlg::OnStartDownload},
        {IDC_STOP_DOWNLOAD, &CQuarnDemoDlg::OnStopDownload},
        {IDC_START_DOWNLOAD_JSON, &CQuarnDemoDlg::OnStartDownloadJson},
    };
    for (const auto& command : commands) {
        auto* button = qobject_cast<QPushButton*>(GetDlgItem(command.id));
        if (!button) return FALSE;
        connect(button, &QPushButton::clicked, this,
                [this, handler = command.handler] { (this->*handler)(); });
    }
    return TRUE;
}

void CQuarnDemoDlg::OnStartDownload() {
    StartWorker(&ParamDownloadWorker);
}

void CQuarnDemoDlg::OnStartDownloadJson() {
    StartWorker(&JsonDownloadWorker);
}

void CQuarnDemoDlg::StartWorker(AFX_THREADPROC proc) {
    UpdateData(TRUE); // a text that does not parse does not stop the start

    // A superseded run is told to end; the new run gets a flag of its own.
    m_bStop->store(true);
    m_bStop = std::make_shared<std::atomic<bool>>(false);
    ++m_nRun;
    m_bBarRanged = false;
    m_workers.Start(proc, std::make_shared<CDownloadRun>(this, m_nRun, m_bStop, m_pacer),
                    THREAD_PRIORITY_HIGHEST);

    GetDlgItem(IDC_START_DOWNLOAD)->setEnabled(false);
    GetDlgItem(IDC_START_DOWNLOAD_JSON)->setEnabled(false);
}

void CQuarnDemoDlg::OnStopDownload() {
    CDownloadRun::StopTransfer(*m_bStop);
    EnableStartButtons(TRUE);
}

void CQuarnDemoDlg::EnableStartButtons(BOOL bEnable) {
    GetDlgItem(IDC_START_DOWNLOAD)->setEnabled(bEnable);
    GetDlgItem(IDC_START_DOWNLOAD_JSON)->setEnabled(bEnable);
}

void CQuarnDemoDlg::customEvent(QEvent* event) {
    auto* message = dynamic_cast<platform::CPostedMessage*>(event);
    if (!message) return platform::CDialogEx::customEvent(event);
    platform::AcceptMessage(message);
    // Reports of an earlier run, or of any run once the window is closing,
    // never reach the display.
    if (m_bClosed || message->Sender() != m_nRun) return;
    switch (message->Message()) {
    case WM_TRANSFER_ERROR: OnTransferError(message->WParam(), message->LParam()); break;
    case WM_TRANSFER_PROGRESS: OnTransferProgress(message->WParam(), message->LParam()); break;
    default: break;
    }
}

void CQuarnDemoDlg::done(int result) {
    StopAllWorkers();
    platform::CDialogEx::done(result);
}

void CQuarnDemoDlg::StopAllWorkers() {
    if (m_bClosed) return;
    m_bClosed = true;
    m_bStop->store(true);
    if (m_workers.Running() > 0) stopDownload();
    m_pacer.Interrupt();
    m_workers.JoinAll();
}
