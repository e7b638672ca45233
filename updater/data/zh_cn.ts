<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>Downloader</name>
    <message>
        <source>open file error!</source>
        <translation>文件打开失败!</translation>
    </message>
</context>
<context>
    <name>UiUpdateDialog</name>
    <message>
        <source>当前进度</source>
        <translation>当前进度</translation>
    </message>
    <message>
        <source>总体进度</source>
        <translation>总体进度</translation>
    </message>
    <message>
        <source>Domvista更新</source>
        <translation>Domvista更新</translation>
    </message>
</context>
<context>
    <name>Update</name>
    <message>
        <source>there are  %1 files, current  is the %2th file</source>
        <translation>总共%1个文件，当前为第%2个文件</translation>
    </message>
    <message>
        <source>skipped: %1</source>
        <translation>已跳过：%1</translation>
    </message>
    <message>
        <source>%1 skipped, see %2</source>
        <translation>已跳过%1项，详见%2</translation>
    </message>
    <message>
        <source>failed: %1</source>
        <translation>失败：%1</translation>
    </message>
    <message>
        <source>update failed, nothing was changed, see %1</source>
        <translation>更新失败，未做任何更改，详见%1</translation>
    </message>
    <message>
        <source>checking the files already in place</source>
        <translation>正在检查已有的文件</translation>
    </message>
    <message>
        <source>installing the update</source>
        <translation>正在安装更新</translation>
    </message>
    <message>
        <source>Domvista is being closed to finish the update</source>
        <translation>正在关闭Domvista以完成更新</translation>
    </message>
    <message>
        <source>update failed and could not be undone yet, start the updater again; see %1</source>
        <translation>更新失败且尚未撤销，请再次启动更新程序；详见%1</translation>
    </message>
</context>
</TS>
