#include "app/AboutDialog.h"

#include "Version.h"

#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("关于 CamRelay"));
    auto* icon = new QLabel(this);
    icon->setPixmap(QIcon(":/camrelay.png").pixmap(32, 32));
    auto* product = new QLabel(QStringLiteral("CamRelay Version 1.0"), this);
    product->setTextFormat(Qt::PlainText);
    auto* second = new QLabel(QStringLiteral("监控摄像头直播转发客户端 ") + CAMRELAY_VERSION_TEXT, this);
    auto* ok = new QPushButton(QStringLiteral("确定"), this);
    ok->setObjectName("1");
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* layout = new QGridLayout(this);
    layout->addWidget(icon, 0, 0, 2, 1, Qt::AlignTop);
    layout->addWidget(product, 0, 1);
    layout->addWidget(second, 1, 1);
    layout->addWidget(ok, 0, 2, Qt::AlignTop);
    layout->setColumnStretch(1, 1);
    resize(380, 90);
}
