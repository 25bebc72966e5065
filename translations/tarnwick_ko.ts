<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ko">
<context>
    <name>InstallerWindow</name>
    <message>
        <source>Failed to download the update.

%1</source>
        <translation>업데이트를 다운로드할 수 없습니다.

%1</translation>
    </message>
    <message>
        <source>Failed to update.

%1</source>
        <translation>업데이트에 실패했습니다.

%1</translation>
    </message>
    <message>
        <source>Waiting for %1 to quit...</source>
        <translation>%1 종료를 기다리는 중…</translation>
    </message>
    <message>
        <source>Installing update...</source>
        <translation>업데이트 설치 중…</translation>
    </message>
    <message>
        <source>CLOSE</source>
        <translation>닫기</translation>
    </message>
    <message>
        <source>CANCEL UPDATE</source>
        <translation>업데이트 취소</translation>
    </message>
    <message>
        <source>Failed to update.

Unexpected application path %1</source>
        <translation>업데이트에 실패했습니다.

예상치 못한 앱 경로: %1</translation>
    </message>
    <message>
        <source>Failed to remove file.

%1</source>
        <translation>파일을 삭제할 수 없습니다.

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
