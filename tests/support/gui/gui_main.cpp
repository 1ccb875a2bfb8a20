// Test main for the GUI test executables: one QApplication for the whole run.
#include "app/MessageBox.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen")
                                                                    : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    Prompt::UseChineseQtTexts();  // the tests see Qt's own texts as operators do
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
