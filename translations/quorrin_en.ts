<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>Batch</name>
    <message>
        <source>文件夹里没有可发送的照片（png、jpg、jpeg）：%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>文件夹里另有 %1 个文件不是 png、jpg 或 jpeg 照片（其中 %2 个是本程序的结果），不会发送</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>文件夹里另有 %1 个文件不是 png、jpg 或 jpeg 照片，不会发送</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>请先填写输入路径</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>输入路径不存在：%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>结果只是服务的小图，不再上传，现在生成原尺寸图</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>原尺寸结果已完整，不再上传，现在按输出选项生成文件</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>已跳过 %1 张结果已存在且完整的照片（删除结果文件或用 --redo 可重新发送）</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>
全部完成！</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>已中止任务！</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>已放弃已发送、尚未收到抠图的照片</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>已取消：本批没有发送任何照片</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1：%2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>创建路径失败：%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>创建文件失败：%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>保存失败：%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1：保存成功！</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>保存成功！</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>警告：服务没有在这张照片里找到主体，抠图完全透明</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1：结果文件的格式存不下透明度，已保留服务的小图</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>正在等待已发送的 %1 张照片完成，再按一次中止则放弃它们</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1：照片的颜色配置文件不可用（%2），结果里没有它</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1：没有找到主体，结果没有裁剪</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>（原尺寸结果已保存）</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>未能按输出选项生成文件（%1）</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>未能生成原尺寸图（%1），已保留服务的小图</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 %2 张：保存 %3 张，跳过 %4 张，失败 %5 张</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>本批已中止，共</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>本批共</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>，由服务的小图生成 %1 张</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>，由已有结果生成 %1 张</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>，没有找到主体 %1 张</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>，未发送 %1 张</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>服务没有找到主体（已计费，请检查）：%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>、</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>没有失败的照片。</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>失败：%1：%2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>账户余额还剩：</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>DesktopNotifier</name>
    <message>
        <source>抠图完成</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>保存 %1 张，跳过 %2 张，失败 %3 张</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>打开输出文件夹</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>HeadlessBatch</name>
    <message>
        <source>保存：%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>由服务的小图生成：%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>由已有结果生成：%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>跳过：%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>没有找到主体：%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>失败：%1：%2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>未发送：%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>输入路径不存在：%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1：%2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>已完成 %1/%2 张，失败 %3 张，每分钟 %4 张</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>，还需约 %1 分 %2 秒</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>OutputChoices</name>
    <message>
        <source>背景白色</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>背景黑色</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>背景 %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>JPEG（质量 %1）</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>WebP（质量 %1）</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>裁到主体（边距 %1%）</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>方形画布</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>画布 %1×%2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>另存蒙版</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>PNG 高压缩</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>清理边缘颜色</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>输出选项：</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>，</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>OutputOptionsDialog</name>
    <message>
        <source>选择…</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>裁到主体</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>另存蒙版</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>清理边缘颜色</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>输出选项</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>透明</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>白色</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>黑色</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>自定义</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>原样</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>方形</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>指定尺寸</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>快速</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>更小</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>背景</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>质量</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>格式</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>边距</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>裁剪</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>画布</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>PNG 压缩</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>还没有这张照片的结果，无法预览</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>无法读取这张照片的结果，无法预览</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>自定义背景颜色请写成 #rrggbb</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>画布太大：最多 2.5 亿像素</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>背景颜色</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>无（JPEG 用白色）</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>RemoveBGConn</name>
    <message>
        <source>：</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>账户余额：</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>账户额度已用完（%1），本批没有发送任何照片，%2 张未发送</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>服务不接受这个密钥（%1），本批没有发送任何照片，%2 张未发送</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>正在发送...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>账户额度已用完（%1），已停止发送，%2 张未发送</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>服务不接受这个密钥（%1），已停止发送，%2 张未发送</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>发送完成！正在接收...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>接收完成！</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>提示：本机的替身服务没有运行。可用 quorrin-offline 启动它再打开窗口，或用 --service-url 指向真正的服务</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>
全部完成！</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ReplyClassification</name>
    <message>
        <source>服务的回复超过 256 MiB，已中止接收</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>服务 %1 秒没有收发任何数据，已中止</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>服务的回复不是图片：HTTP %1，类型 %2，%3 字节</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>（无）</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>RetryPolicy</name>
    <message>
        <source>服务繁忙（HTTP 429），%1 秒后重试</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>服务出错（HTTP %1），%2 秒后重试</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>连接出错（%1），%2 秒后重试</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ScaleAndMix</name>
    <message>
        <source>无法读取原图</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>服务的抠图无法读取或没有透明通道</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>结果文件的格式存不下透明度</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>无法写入结果文件</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>图像库无法处理这张图</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>无法写入按输出选项生成的文件</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>按输出选项生成的文件与原图同名，没有写入</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>无法读取已有的原尺寸结果</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>Widget</name>
    <message>
        <source>Quorrin</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Token</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>输入路径</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>文件</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>文件夹</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>输出路径</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>一键抠图</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>中止</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>发送前确认</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>将发送 %1 张照片（另有 %2 张不必发送），约需 %3 点额度；账户余额：%4。
现在发送吗？</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>请先填写密钥，再把它保存在系统钥匙串里</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>密钥已保存在系统钥匙串里，下次启动时自动填入</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>没有可用的系统钥匙串，密钥没有保存：%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>已从系统钥匙串删除密钥</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>没有可用的系统钥匙串：%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>输出选项</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>输出选项由命令行给出，这次的更改只用于本次运行，不会保存</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>无法保存输出选项：%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>从系统钥匙串删除密钥</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>把密钥保存在系统钥匙串里</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>收到 %1 个文件或文件夹，只取第一个：%2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Quorrin — 正在完成已发送的照片</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Quorrin — 正在完成已发送的 %1 张照片</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>打开文件</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Images (*.png *.jpg *.JPG *.PNG)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>保存文件</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>打开输入文件夹</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>打开输出文件夹</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Images (*.png *.tif *.tiff *.webp *.jpg *.jpeg)</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
