<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_Hant">
<context>
    <name>InstallerWindow</name>
    <message>
        <source>Failed to download the update.

%1</source>
        <translation>無法下載更新項目。

%1</translation>
    </message>
    <message>
        <source>Failed to update.

%1</source>
        <translation>更新失敗。

%1</translation>
    </message>
    <message>
        <source>Waiting for %1 to quit...</source>
        <translation>正在等待「%1」結束…</translation>
    </message>
    <message>
        <source>Installing update...</source>
        <translation>正在安裝更新項目…</translation>
    </message>
    <message>
        <source>CLOSE</source>
        <translation>關閉</translation>
    </message>
    <message>
        <source>CANCEL UPDATE</source>
        <translation>取消更新</translation>
    </message>
    <message>
        <source>Failed to update.

Unexpected application path %1</source>
        <translation>更新失敗。

非預期的應用程式路徑：%1</translation>
    </message>
    <message>
        <source>Failed to remove file.

%1</source>
        <translation>無法刪除檔案。

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
