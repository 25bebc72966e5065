<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr">
<context>
    <name>InstallerWindow</name>
    <message>
        <source>Failed to download the update.

%1</source>
        <translation>Impossible de télécharger la mise à jour.

%1</translation>
    </message>
    <message>
        <source>Failed to update.

%1</source>
        <translation>Échec de la mise à jour.

%1</translation>
    </message>
    <message>
        <source>Waiting for %1 to quit...</source>
        <translation>En attente de la fermeture de «&#xa0;%1&#xa0;»…</translation>
    </message>
    <message>
        <source>Installing update...</source>
        <translation>Mise à jour en cours…</translation>
    </message>
    <message>
        <source>CLOSE</source>
        <translation>FERMER</translation>
    </message>
    <message>
        <source>CANCEL UPDATE</source>
        <translation>ANNULER</translation>
    </message>
    <message>
        <source>Failed to update.

Unexpected application path %1</source>
        <translation>Échec de la mise à jour.

Chemin inattendu de l’app&#xa0;: %1</translation>
    </message>
    <message>
        <source>Failed to remove file.

%1</source>
        <translation>Impossible de supprimer le fichier.

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
