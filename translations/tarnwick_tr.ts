<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="tr">
<context>
    <name>InstallerWindow</name>
    <message>
        <source>Failed to download the update.

%1</source>
        <translation>Güncelleme indirilemedi.

%1</translation>
    </message>
    <message>
        <source>Failed to update.

%1</source>
        <translation>Güncelleme başarısız oldu.

%1</translation>
    </message>
    <message>
        <source>Waiting for %1 to quit...</source>
        <translation>%1 uygulamasının kapanması bekleniyor…</translation>
    </message>
    <message>
        <source>Installing update...</source>
        <translation>Güncelleme yükleniyor…</translation>
    </message>
    <message>
        <source>CLOSE</source>
        <translation>KAPAT</translation>
    </message>
    <message>
        <source>CANCEL UPDATE</source>
        <translation>İPTAL ET</translation>
    </message>
    <message>
        <source>Failed to update.

Unexpected application path %1</source>
        <translation>Güncelleme başarısız oldu.

Beklenmeyen uygulama yolu: %1</translation>
    </message>
    <message>
        <source>Failed to remove file.

%1</source>
        <translation>Dosya silinemedi.

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
