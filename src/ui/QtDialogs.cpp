#include "ui/QtDialogs.h"

#include <QInputDialog>
#include <QLineEdit>

#include <QMessageBox>

namespace brisko::ui {

namespace {

QMessageBox::Icon ToQt(engines::MessageIcon icon) {
    switch (icon) {
    case engines::MessageIcon::Information:
        return QMessageBox::Information;
    case engines::MessageIcon::Critical:
        return QMessageBox::Critical;
    case engines::MessageIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

} // namespace

void QtDialogs::messageBox(const std::string& text, engines::MessageIcon icon) {
    // Messages are composed by the program and may break lines on purpose, so they are shown as
    // plain text rather than through DisplayText (which would make each line break visible).
    QMessageBox box(ToQt(icon), QStringLiteral("Brisko"), QString::fromStdString(text), QMessageBox::Ok,
                    m_parent.data());
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    box.exec();
}

std::string QtDialogs::inputBox(const std::string& prompt) {
    bool accepted = false;
    const QString text =
        QInputDialog::getText(m_parent, QStringLiteral("Brisko"), QString::fromStdString(prompt),
                              QLineEdit::Normal, QString(), &accepted);
    return accepted ? text.toStdString() : std::string();
}

} // namespace brisko::ui
