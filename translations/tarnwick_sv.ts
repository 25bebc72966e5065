<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="sv">
<context>
    <name>InstallerWindow</name>
    <message>
        <source>Failed to download the update.

%1</source>
        <translation>Det gick inte att hämta uppdateringen.

%1</translation>
    </message>
    <message>
        <source>Failed to update.

%1</source>
        <translation>Det gick inte att uppdatera.

%1</translation>
    </message>
    <message>
        <source>Waiting for %1 to quit...</source>
        <translation>Väntar på att %1 ska avslutas…</translation>
    </message>
    <message>
        <source>Installing update...</source>
        <translation>Installerar uppdatering…</translation>
    </message>
    <message>
        <source>CLOSE</source>
        <translation>STÄNG</translation>
    </message>
    <message>
        <source>CANCEL UPDATE</source>
        <translation>AVBRYT</translation>
    </message>
    <message>
        <source>Failed to update.

Unexpected application path %1</source>
        <translation>Det gick inte att uppdatera.

Oväntad sökväg till appen: %1</translation>
    </message>
    <message>
        <source>Failed to remove file.

%1</source>
        <translation>Det gick inte att radera filen.

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
