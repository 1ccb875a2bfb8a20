#include "wizard/UpDownButton.h"

#include "settings/ChannelStore.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

UpDownButton::UpDownButton(QLineEdit* buddy, QWidget* parent)
    : QWidget(parent), m_pBuddy(buddy), m_pUp(new QToolButton(this)), m_pDown(new QToolButton(this))
{
    m_pUp->setArrowType(Qt::UpArrow);
    m_pDown->setArrowType(Qt::DownArrow);
    for (QToolButton* button : {m_pUp, m_pDown}) {
        button->setAutoRepeat(true);
        button->setFocusPolicy(Qt::NoFocus);
        button->setFixedSize(18, 12);
    }
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_pUp);
    layout->addWidget(m_pDown);
    connect(m_pUp, &QToolButton::clicked, this, [this] { StepBy(1); });
    connect(m_pDown, &QToolButton::clicked, this, [this] { StepBy(-1); });
    m_pBuddy->installEventFilter(this);
}

void UpDownButton::SetRange(int lower, int upper)
{
    m_nLower = std::min(lower, upper);
    m_nUpper = std::max(lower, upper);
}

void UpDownButton::StepBy(int steps)
{
    // The buddy may have been typed into since the last step: start from its text.
    const long long current = DecimalValue(m_pBuddy->text().toStdString());
    const long long next = std::clamp<long long>(current + steps, m_nLower, m_nUpper);
    m_pBuddy->setText(QString::number(next));
    emit Stepped(static_cast<int>(next));
}

bool UpDownButton::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_pBuddy && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down) {
            StepBy(key == Qt::Key_Up ? 1 : -1);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
