// The small window shown while a transfer job runs: an animated icon and the kilobytes moved.
// It has no caption and no usable button; it ends itself at the first 200 ms tick after the job
// has set the completion event.
#pragma once

#include <map>
#include <memory>

#include <QDialog>

#include "link/progress.h"

class QLabel;

class CTransferProgressDlg : public QDialog {
    Q_OBJECT
  public:
    // The icons of the animation, in the order the ticks show them.
    static constexpr int kAnimationIcons[4] = {132, 130, 131, 129};
    static constexpr int kTickMilliseconds = 200;

    explicit CTransferProgressDlg(QWidget* parent = nullptr);
    ~CTransferProgressDlg() override;

    // Runs the window modally until the completion event has been seen.
    int exec() override;

    // One tick: next animation frame, end the window if the job has finished, refresh the text.
    void OnTimer();
    // The OK path: the only way the window ends.
    void OnOK();

    int CurrentIcon() const { return m_currentIcon; }
    QLabel* ProgressText() const { return m_text; }
    QLabel* AnimationIcon() const { return m_icon; }

  protected:
    void timerEvent(QTimerEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

  private:
    void OnInitDialog();

    std::map<int, QWidget*> m_controls;
    QLabel* m_icon = nullptr;
    QLabel* m_text = nullptr;
    int m_step = 0;
    int m_currentIcon = 129;
    int m_timerId = 0;
    std::shared_ptr<CAutoResetEvent> m_completion;
};
