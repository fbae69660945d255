#pragma once

#include <QString>

// The program's own texts (the string table). Everything the operator reads
// that is not a column title comes from here.
namespace MyConsts {

inline const QString sDataChanged = QStringLiteral("Данные были изменены");
inline const QString sDeviceNumber = QStringLiteral("Номер прибора");
inline const QString sStartPolling = QStringLiteral("Включить опрос");
inline const QString sStopPolling = QStringLiteral("Остановить опрос");
inline const QString sAbout = QStringLiteral("О программе");
inline const QString sCompany = QStringLiteral("ООО «Пример Лаб Приборы»");
inline const QString sTelephone = QStringLiteral("Тел.: +7 (000) 000-00-00");
inline const QString sErrorOpenPort = QStringLiteral("Ошибка открытия порта");
inline const QString sError = QStringLiteral("Ошибка");
inline const QString sProgramTitle = QStringLiteral("Savro-2.Регистрация измерений");
inline const QString sNew = QStringLiteral("Новый");
inline const QString sFile = QStringLiteral("Файл");
inline const QString sOpen = QStringLiteral("Открыть");
inline const QString sSave = QStringLiteral("Сохранить");
inline const QString sSaveAs = QStringLiteral("Сохранить как");
inline const QString sPrint = QStringLiteral("Печать");
inline const QString sIndicators = QStringLiteral("Показатели");
inline const QString sSaveData = QStringLiteral("Сохранить данные?");

// The maker's addresses shown in the about box (neutral placeholders).
inline const QString sMakerSite = QStringLiteral("www.example.com");
inline const QString sMakerEmail = QStringLiteral("info@example.com");

} // namespace MyConsts
