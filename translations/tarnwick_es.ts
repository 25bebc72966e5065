<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es">
<context>
    <name>InstallerWindow</name>
    <message>
        <source>Failed to download the update.

%1</source>
        <translation>No se ha podido descargar la actualización.

%1</translation>
    </message>
    <message>
        <source>Failed to update.

%1</source>
        <translation>No se ha podido actualizar.

%1</translation>
    </message>
    <message>
        <source>Waiting for %1 to quit...</source>
        <translation>Esperando a que se cierre %1…</translation>
    </message>
    <message>
        <source>Installing update...</source>
        <translation>Instalando actualización…</translation>
    </message>
    <message>
        <source>CLOSE</source>
        <translation>CERRAR</translation>
    </message>
    <message>
        <source>CANCEL UPDATE</source>
        <translation>CANCELAR</translation>
    </message>
    <message>
        <source>Failed to update.

Unexpected application path %1</source>
        <translation>No se ha podido actualizar.

Ruta inesperada de la app: %1</translation>
    </message>
    <message>
        <source>Failed to remove file.

%1</source>
        <translation>No se ha podido eliminar el archivo.

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
