<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru">
<context>
    <name>InstallerWindow</name>
    <message>
        <source>Failed to download the update.

%1</source>
        <translation>Не удалось загрузить обновление.

%1</translation>
    </message>
    <message>
        <source>Failed to update.

%1</source>
        <translation>Не удалось выполнить обновление.

%1</translation>
    </message>
    <message>
        <source>Waiting for %1 to quit...</source>
        <translation>Ожидание завершения программы %1…</translation>
    </message>
    <message>
        <source>Installing update...</source>
        <translation>Установка обновления…</translation>
    </message>
    <message>
        <source>CLOSE</source>
        <translation>ЗАКРЫТЬ</translation>
    </message>
    <message>
        <source>CANCEL UPDATE</source>
        <translation>ОТМЕНИТЬ</translation>
    </message>
    <message>
        <source>Failed to update.

Unexpected application path %1</source>
        <translation>Не удалось выполнить обновление.

Неожиданный путь к программе: %1</translation>
    </message>
    <message>
        <source>Failed to remove file.

%1</source>
        <translation>Не удалось удалить файл.

%1</translation>
    </message>
</context>
<context>
    <name>QGuiApplication</name>
    <message>
        <source>QT_LAYOUT_DIRECTION</source>
        <comment>Translate this string to the string &apos;LTR&apos; in left-to-right languages or to &apos;RTL&apos; in right-to-left languages (such as Hebrew and Arabic) to get proper widget layout.</comment>
        <translation>LTR</translation>
    </message>
</context>
</TS>
