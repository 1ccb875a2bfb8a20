#pragma once
#include <QWidget>

class QLineEdit;
class QToolButton;

// A small up/down control bound to a line edit (its buddy). Each step reads the number in
// the buddy (lenient decimal parse, 0 when none), moves it by the step within the range and
// writes it back as decimal text. The Up and Down keys in the buddy step it too.
// Owned by its parent widget; GUI thread only.
class UpDownButton : public QWidget {
    Q_OBJECT
public:
    explicit UpDownButton(QLineEdit* buddy, QWidget* parent = nullptr);

    void SetRange(int lower, int upper);
    // Steps by +1 (up) or -1 (down), or any other count of steps.
    void StepBy(int steps);

signals:
    void Stepped(int value);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* m_pBuddy;
    QToolButton* m_pUp;
    QToolButton* m_pDown;
    int m_nLower = -200;
    int m_nUpper = 200;
};
