<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ar">
<context>
    <name>InstallerWindow</name>
    <message>
        <source>Failed to download the update.

%1</source>
        <translation>تعذّر تنزيل التحديث.

%1</translation>
    </message>
    <message>
        <source>Failed to update.

%1</source>
        <translation>تعذّر التحديث.

%1</translation>
    </message>
    <message>
        <source>Waiting for %1 to quit...</source>
        <translation>بانتظار إنهاء %1…</translation>
    </message>
    <message>
        <source>Installing update...</source>
        <translation>جارٍ تثبيت التحديث…</translation>
    </message>
    <message>
        <source>CLOSE</source>
        <translation>إغلاق</translation>
    </message>
    <message>
        <source>CANCEL UPDATE</source>
        <translation>إلغاء التحديث</translation>
    </message>
    <message>
        <source>Failed to update.

Unexpected application path %1</source>
        <translation>تعذّر التحديث.

مسار التطبيق غير متوقع: %1</translation>
    </message>
    <message>
        <source>Failed to remove file.

%1</source>
        <translation>تعذّرت إزالة الملف.

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
