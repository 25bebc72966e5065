<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>InstallerWindow</name>
    <message>
        <source>Failed to download the update.

%1</source>
        <translation>Das Update konnte nicht heruntergeladen werden.

%1</translation>
    </message>
    <message>
        <source>Failed to update.

%1</source>
        <translation>Das Update ist fehlgeschlagen.

%1</translation>
    </message>
    <message>
        <source>Waiting for %1 to quit...</source>
        <translation>Warten, bis %1 beendet ist …</translation>
    </message>
    <message>
        <source>Installing update...</source>
        <translation>Update wird installiert …</translation>
    </message>
    <message>
        <source>CLOSE</source>
        <translation>SCHLIESSEN</translation>
    </message>
    <message>
        <source>CANCEL UPDATE</source>
        <translation>UPDATE ABBRECHEN</translation>
    </message>
    <message>
        <source>Failed to update.

Unexpected application path %1</source>
        <translation>Das Update ist fehlgeschlagen.

Unerwarteter Pfad der App: %1</translation>
    </message>
    <message>
        <source>Failed to remove file.

%1</source>
        <translation>Die Datei konnte nicht gelöscht werden.

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
