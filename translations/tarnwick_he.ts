<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="he">
<context>
    <name>InstallerWindow</name>
    <message>
        <source>Failed to download the update.

%1</source>
        <translation>לא ניתן להוריד את העדכון.

%1</translation>
    </message>
    <message>
        <source>Failed to update.

%1</source>
        <translation>העדכון נכשל.

%1</translation>
    </message>
    <message>
        <source>Waiting for %1 to quit...</source>
        <translation>ממתין לסגירת %1…</translation>
    </message>
    <message>
        <source>Installing update...</source>
        <translation>מתקין את העדכון…</translation>
    </message>
    <message>
        <source>CLOSE</source>
        <translation>סגירה</translation>
    </message>
    <message>
        <source>CANCEL UPDATE</source>
        <translation>ביטול העדכון</translation>
    </message>
    <message>
        <source>Failed to update.

Unexpected application path %1</source>
        <translation>העדכון נכשל.

נתיב היישום אינו צפוי: %1</translation>
    </message>
    <message>
        <source>Failed to remove file.

%1</source>
        <translation>לא ניתן למחוק את הקובץ.

%1</translation>
    </message>
</context>
<context>
    <name>QGuiApplication</name>
    <message>
        <source>QT_LAYOUT_DIRECTION</source>
        <comment>Translate this string to the string &apos;LTR&apos; in left-to-right languages or to &apos;RTL&apos; in right-to-left languages (such as Hebrew and Arabic) to get proper widget layout.</comment>
        <translation>RTL</translation>
    </message>
</context>
</TS>
