<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja">
<context>
    <name>InstallerWindow</name>
    <message>
        <source>Failed to download the update.

%1</source>
        <translation>アップデートをダウンロードできませんでした。

%1</translation>
    </message>
    <message>
        <source>Failed to update.

%1</source>
        <translation>アップデートに失敗しました。

%1</translation>
    </message>
    <message>
        <source>Waiting for %1 to quit...</source>
        <translation>%1の終了を待っています…</translation>
    </message>
    <message>
        <source>Installing update...</source>
        <translation>アップデート中…</translation>
    </message>
    <message>
        <source>CLOSE</source>
        <translation>閉じる</translation>
    </message>
    <message>
        <source>CANCEL UPDATE</source>
        <translation>アップデートをキャンセル</translation>
    </message>
    <message>
        <source>Failed to update.

Unexpected application path %1</source>
        <translation>アップデートに失敗しました。

予期しないアプリケーションのパス：%1</translation>
    </message>
    <message>
        <source>Failed to remove file.

%1</source>
        <translation>ファイルを削除できませんでした。

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
