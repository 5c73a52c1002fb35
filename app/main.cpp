// The program: one window on the Qt message pump.
#include <QApplication>
#include <QIcon>
#include <memory>

#include "Bl.h"
#include "BlTexts.h"
#include "qtpump/clQtMessagePump.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    // Every wait of the library serves the window from here on.
    cl::TclMessagePump::Install(std::make_shared<cl::TclQtMessagePump>());
    QApplication::setApplicationName(QStringLiteral("flvdownloader"));
    QGuiApplication::setDesktopFileName(QStringLiteral("flvdownloader"));
    int result = 0;
    {
        TForm1 Form1;
        QApplication::setWindowIcon(Form1.windowIcon());
        Form1.FormCreate();
        Form1.show();
        result = QApplication::exec();
    }
    cl::TclMessagePump::Uninstall();
    return result;
}
