#include "app/transfer_progress_dlg.h"

#include <QCloseEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QThread>
#include <QTimerEvent>

#include "app/window_templates.h"

CTransferProgressDlg::CTransferProgressDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint)
{
    setObjectName(QStringLiteral("transferProgressDlg"));
    setModal(true);
    // A raised panel stands in for the modal frame that a captionless pop-up gets elsewhere.
    auto* frame = new QFrame(this);
    frame->setObjectName(QStringLiteral("windowFrame"));
    frame->setFrameStyle(QFrame::Panel | QFrame::Raised);
    frame->setLineWidth(2);
    m_controls = BuildDialog(this, ProgressWindowTemplate());
    frame->setGeometry(rect());
    frame->lower();
    m_icon = static_cast<QLabel*>(m_controls.at(kIdcAnimationIcon));
    m_text = static_cast<QLabel*>(m_controls.at(kIdcProgressText));
    // Opened here already, before the handler starts the worker, so that a job which ends before
    // the window runs still finds its signal waiting.
    m_completion = CreateNamedEvent(kCompletionEventName);
    auto* okButton = static_cast<QPushButton*>(m_controls.at(kIdcProgressOk));
    connect(okButton, &QPushButton::clicked, this, &CTransferProgressDlg::OnOK);
}

CTransferProgressDlg::~CTransferProgressDlg() = default;

int CTransferProgressDlg::exec()
{
    OnInitDialog();
    return QDialog::exec();
}

void CTransferProgressDlg::OnInitDialog()
{
    // The window must keep animating while the worker saturates a core with encoding.
    QThread::currentThread()->setPriority(QThread::HighPriority);
    m_step = 0;
    if (!m_completion) m_completion = CreateNamedEvent(kCompletionEventName);
    if (m_timerId == 0) m_timerId = startTimer(kTickMilliseconds);
}

void CTransferProgressDlg::timerEvent(QTimerEvent* event)
{
    if (event->timerId() == m_timerId)
        OnTimer();
    else
        QDialog::timerEvent(event);
}

void CTransferProgressDlg::OnTimer()
{
    m_currentIcon = kAnimationIcons[m_step];
    m_step = (m_step + 1) % 4;
    m_icon->setPixmap(QPixmap(QStringLiteral(":/icons/icon%1.png").arg(m_currentIcon)));

    if (m_completion && m_completion->TryWait()) OnOK();

    const std::string text = ComposeProgressText(g_progressDirection.load(), g_progressDone.load(),
                                                 g_progressTotal.load());
    m_text->setText(QString::fromStdString(text));
}

void CTransferProgressDlg::OnOK()
{
    m_completion.reset();
    if (m_timerId != 0) {
        killTimer(m_timerId);
        m_timerId = 0;
    }
    accept();
}

void CTransferProgressDlg::keyPressEvent(QKeyEvent* event)
{
    // Enter and Escape must neither press the hidden OK button nor cancel the window.
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Escape:
            event->accept();
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

void CTransferProgressDlg::closeEvent(QCloseEvent* event)
{
    // Only the job's completion ends the window (a window manager may still offer to close it).
    event->ignore();
}

void CTransferProgressDlg::reject()
{
    // Cancelling is not possible while the worker runs.
}
