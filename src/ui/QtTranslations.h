#pragma once

class QCoreApplication;
class QTranslator;

namespace bhv::ui {

// Qt's own Chinese texts: the standard buttons of the message boxes ("确定", "取消"), the folder
// chooser and the other standard dialogs speak Chinese, as the rest of the program does. Loads
// qtbase_zh_CN from Qt's translations folder (QLibraryInfo::TranslationsPath) and installs it
// on `app`, which owns it. Null, and nothing installed, when the file is missing or unreadable:
// the standard texts then stay English.
QTranslator* InstallQtTranslations(QCoreApplication& app);

}  // namespace bhv::ui
