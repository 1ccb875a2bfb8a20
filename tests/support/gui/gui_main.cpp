// Test main for the GUI test executables: one QApplication for the whole run.
#include "ui/MessageBox.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qputenv("QT_QPA_PLATFORM", "offscreen");  // unless told otherwise
    QApplication app(argc, argv);
    Prompt::UseChineseQtTexts();  // the tests see Qt's own texts as operators do
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
