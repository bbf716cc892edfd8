// The application object: process-wide set-up, then the main window, run modally. The program
// ends when the main window closes.
#pragma once

#include <QApplication>

class CImageToolApp : public QApplication {
    Q_OBJECT
  public:
    CImageToolApp(int& argc, char** argv);

    // Runs the whole program and returns its exit code: 0 after the main window has closed,
    // 1 when the image file library could not be bound.
    int InitInstance();
};
