#include "platform/msgbox.h"

#include <QApplication>
#include <QMessageBox>

namespace {
platform::MessageBoxHandler& Handler() {
    static platform::MessageBoxHandler handler;
    return handler;
}
} // namespace

namespace platform {
void SetMessageBoxHandler(MessageBoxHandler handler) {
    Handler() = std::move(handler);
}
} // namespace platform

int AfxMessageBox(const CString& text, UINT type) {
    const QString caption = QCoreApplication::applicationName();
    if (Handler()) return Handler()(caption, text.ToQString(), type);
    QMessageBox box(QMessageBox::NoIcon, caption, text.ToQString(), QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
    return static_cast<int>(IDOK);
}
