<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_Hans">
<context>
    <name>InstallerWindow</name>
    <message>
        <source>Failed to download the update.

%1</source>
        <translation>无法下载更新。

%1</translation>
    </message>
    <message>
        <source>Failed to update.

%1</source>
        <translation>更新失败。

%1</translation>
    </message>
    <message>
        <source>Waiting for %1 to quit...</source>
        <translation>正在等待“%1”退出…</translation>
    </message>
    <message>
        <source>Installing update...</source>
        <translation>正在安装更新…</translation>
    </message>
    <message>
        <source>CLOSE</source>
        <translation>关闭</translation>
    </message>
    <message>
        <source>CANCEL UPDATE</source>
        <translation>取消更新</translation>
    </message>
    <message>
        <source>Failed to update.

Unexpected application path %1</source>
        <translation>更新失败。

应用程序路径异常：%1</translation>
    </message>
    <message>
        <source>Failed to remove file.

%1</source>
        <translation>无法删除文件。

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
