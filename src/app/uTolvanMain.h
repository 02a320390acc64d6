// The program's main window.
#pragma once

#include <QMainWindow>

class TfTlvnMain : public QMainWindow {
    Q_OBJECT
public:
    explicit TfTlvnMain(QWidget* parent = nullptr);
    ~TfTlvnMain() override;

    static constexpr int kClientWidth = 912;
    static constexpr int kClientHeight = 581;
    static constexpr int kMinWidth = 790;
    static constexpr int kMinHeight = 400;

    // Centres the window on the screen it is on.
    void CenterOnScreen();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormCreate();
    bool centred_ = false;
};

extern TfTlvnMain* fTlvnMain;
