<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>Batch</name>
    <message>
        <source>文件夹里没有可发送的照片（png、jpg、jpeg）：%1</source>
        <translation>No photo to send in the folder (png, jpg, jpeg): %1</translation>
    </message>
    <message>
        <source>文件夹里另有 %1 个文件不是 png、jpg 或 jpeg 照片（其中 %2 个是本程序的结果），不会发送</source>
        <translation>Other files in the folder that are not png, jpg or jpeg photos, and are not sent: %1 (results of this program among them: %2)</translation>
    </message>
    <message>
        <source>文件夹里另有 %1 个文件不是 png、jpg 或 jpeg 照片，不会发送</source>
        <translation>Other files in the folder that are not png, jpg or jpeg photos, and are not sent: %1</translation>
    </message>
    <message>
        <source>请先填写输入路径</source>
        <translation>Fill in the input path first</translation>
    </message>
    <message>
        <source>输入路径不存在：%1</source>
        <translation>The input path does not exist: %1</translation>
    </message>
    <message>
        <source>结果只是服务的小图，不再上传，现在生成原尺寸图</source>
        <translation>The result is only the service&apos;s cut-out: no new upload; making the full-size image now</translation>
    </message>
    <message>
        <source>原尺寸结果已完整，不再上传，现在按输出选项生成文件</source>
        <translation>The full-size result is complete: no new upload; making the files for the output choices now</translation>
    </message>
    <message>
        <source>已跳过 %1 张结果已存在且完整的照片（删除结果文件或用 --redo 可重新发送）</source>
        <translation>Skipped photos whose results are already there and complete: %1 (delete a result, or use --redo, to send it again)</translation>
    </message>
    <message>
        <source>
全部完成！</source>
        <translation>
All done!</translation>
    </message>
    <message>
        <source>已中止任务！</source>
        <translation>Stopped!</translation>
    </message>
    <message>
        <source>已放弃已发送、尚未收到抠图的照片</source>
        <translation>Abandoned the photos already sent whose cut-outs have not come back</translation>
    </message>
    <message>
        <source>已取消：本批没有发送任何照片</source>
        <translation>Cancelled: no photo of this batch was sent</translation>
    </message>
    <message>
        <source>%1：%2</source>
        <translation>%1: %2</translation>
    </message>
    <message>
        <source>创建路径失败：%1</source>
        <translation>Could not create the folder: %1</translation>
    </message>
    <message>
        <source>创建文件失败：%1</source>
        <translation>Could not create the file: %1</translation>
    </message>
    <message>
        <source>保存失败：%1</source>
        <translation>Could not save: %1</translation>
    </message>
    <message>
        <source>%1：保存成功！</source>
        <translation>%1: saved!</translation>
    </message>
    <message>
        <source>保存成功！</source>
        <translation>Saved!</translation>
    </message>
    <message>
        <source>警告：服务没有在这张照片里找到主体，抠图完全透明</source>
        <translation>Warning: the service found no subject in this photo; the cut-out is all transparent</translation>
    </message>
    <message>
        <source>%1：结果文件的格式存不下透明度，已保留服务的小图</source>
        <translation>%1: the result&apos;s format cannot hold transparency; the service&apos;s cut-out is kept as it came</translation>
    </message>
    <message>
        <source>正在等待已发送的 %1 张照片完成，再按一次中止则放弃它们</source>
        <translation>Waiting for the photos already sent to finish: %1. Press Stop again to abandon them</translation>
    </message>
    <message>
        <source>%1：照片的颜色配置文件不可用（%2），结果里没有它</source>
        <translation>%1: the photo&apos;s colour profile cannot be used (%2); the result is without it</translation>
    </message>
    <message>
        <source>%1：没有找到主体，结果没有裁剪</source>
        <translation>%1: no subject found; the result is not cropped</translation>
    </message>
    <message>
        <source>未能按输出选项生成文件（%1）</source>
        <translation>Could not make the files for the output choices (%1)</translation>
    </message>
    <message>
        <source>未能生成原尺寸图（%1），已保留服务的小图</source>
        <translation>Could not make the full-size image (%1); the service&apos;s cut-out is kept</translation>
    </message>
    <message>
        <source>%1 %2 张：保存 %3 张，跳过 %4 张，失败 %5 张</source>
        <translation>%1 %2. Saved: %3, skipped: %4, failed: %5</translation>
    </message>
    <message>
        <source>本批已中止，共</source>
        <translation>Batch stopped. Photos in it:</translation>
    </message>
    <message>
        <source>本批共</source>
        <translation>Photos in this batch:</translation>
    </message>
    <message>
        <source>，由服务的小图生成 %1 张</source>
        <translation>, made from the service&apos;s cut-outs: %1</translation>
    </message>
    <message>
        <source>，由已有结果生成 %1 张</source>
        <translation>, made from existing results: %1</translation>
    </message>
    <message>
        <source>，没有找到主体 %1 张</source>
        <translation>, no subject found: %1</translation>
    </message>
    <message>
        <source>，未发送 %1 张</source>
        <translation>, unsent: %1</translation>
    </message>
    <message>
        <source>服务没有找到主体（已计费，请检查）：%1</source>
        <translation>The service found no subject in these (they were charged; worth a look): %1</translation>
    </message>
    <message>
        <source>、</source>
        <translation>, </translation>
    </message>
    <message>
        <source>没有失败的照片。</source>
        <translation>No photo failed.</translation>
    </message>
    <message>
        <source>失败：%1：%2</source>
        <translation>Failed: %1: %2</translation>
    </message>
    <message>
        <source>账户余额还剩：</source>
        <translation>Balance left: </translation>
    </message>
    <message>
        <source>%1（原尺寸结果已保存）</source>
        <translation>%1 (the full-size result is saved)</translation>
    </message>
    <message>
        <source>%1：结果的位置是一个链接或特殊文件，没有发送，也没有写入</source>
        <translation>%1: the result&apos;s place holds a link or a special file; nothing was sent or written</translation>
    </message>
    <message>
        <source>%1：已有的结果不完整，已改名为 %2，重新发送</source>
        <translation>%1: the result already there is incomplete; renamed to %2, sending again</translation>
    </message>
    <message>
        <source>分片 %1/%2：文件夹里 %3 张照片中的 %4 张属于这一份</source>
        <translation>Share %1/%2: %4 of the folder&apos;s %3 photos are this share&apos;s</translation>
    </message>
    <message>
        <source>%1 张照片的结果经过手工修改，--redo 不重做它们（把结果移走可重新发送）</source>
        <translation>Results touched up by hand, which --redo leaves alone: %1 (move a result away to send its photo again)</translation>
    </message>
    <message>
        <source>按预览尺寸发送，每张计 0.25 点额度：本批共计 %1 点</source>
        <translation>Sent at the preview size, 0.25 credit each: %1 credits for this batch</translation>
    </message>
    <message>
        <source>%1：不合预设要求：%2</source>
        <translation>%1: falls short of the preset: %2</translation>
    </message>
    <message>
        <source>，不合预设要求 %1 张</source>
        <translation>, short of the preset: %1</translation>
    </message>
    <message>
        <source>不合预设要求：%1：%2</source>
        <translation>Short of the preset: %1: %2</translation>
    </message>
</context>
<context>
    <name>DesktopNotifier</name>
    <message>
        <source>抠图完成</source>
        <translation>Cut-outs done</translation>
    </message>
    <message>
        <source>保存 %1 张，跳过 %2 张，失败 %3 张</source>
        <translation>Saved: %1, skipped: %2, failed: %3</translation>
    </message>
    <message>
        <source>打开输出文件夹</source>
        <translation>Open the output folder</translation>
    </message>
    <message>
        <source>审阅结果</source>
        <translation>Review the results</translation>
    </message>
</context>
<context>
    <name>HeadlessBatch</name>
    <message>
        <source>保存：%1</source>
        <translation>Saved: %1</translation>
    </message>
    <message>
        <source>由服务的小图生成：%1</source>
        <translation>Made from the service&apos;s cut-out: %1</translation>
    </message>
    <message>
        <source>由已有结果生成：%1</source>
        <translation>Made from the existing result: %1</translation>
    </message>
    <message>
        <source>跳过：%1</source>
        <translation>Skipped: %1</translation>
    </message>
    <message>
        <source>没有找到主体：%1</source>
        <translation>No subject found: %1</translation>
    </message>
    <message>
        <source>失败：%1：%2</source>
        <translation>Failed: %1: %2</translation>
    </message>
    <message>
        <source>未发送：%1</source>
        <translation>Unsent: %1</translation>
    </message>
    <message>
        <source>输入路径不存在：%1</source>
        <translation>The input path does not exist: %1</translation>
    </message>
    <message>
        <source>%1：%2</source>
        <translation>%1: %2</translation>
    </message>
    <message>
        <source>已完成 %1/%2 张，失败 %3 张，每分钟 %4 张</source>
        <translation>%1/%2 done, %3 failed, %4 a minute</translation>
    </message>
    <message>
        <source>，还需约 %1 分 %2 秒</source>
        <translation>, about %1 min %2 s left</translation>
    </message>
</context>
<context>
    <name>OutputChoices</name>
    <message>
        <source>背景白色</source>
        <translation>white background</translation>
    </message>
    <message>
        <source>背景黑色</source>
        <translation>black background</translation>
    </message>
    <message>
        <source>背景 %1</source>
        <translation>background %1</translation>
    </message>
    <message>
        <source>JPEG（质量 %1）</source>
        <translation>JPEG (quality %1)</translation>
    </message>
    <message>
        <source>WebP（质量 %1）</source>
        <translation>WebP (quality %1)</translation>
    </message>
    <message>
        <source>裁到主体（边距 %1%）</source>
        <translation>cropped to the subject (margin %1%)</translation>
    </message>
    <message>
        <source>方形画布</source>
        <translation>square canvas</translation>
    </message>
    <message>
        <source>画布 %1×%2</source>
        <translation>canvas %1×%2</translation>
    </message>
    <message>
        <source>另存蒙版</source>
        <translation>mask</translation>
    </message>
    <message>
        <source>PNG 高压缩</source>
        <translation>small PNGs</translation>
    </message>
    <message>
        <source>清理边缘颜色</source>
        <translation>clean edges</translation>
    </message>
    <message>
        <source>输出选项：</source>
        <translation>Output choices: </translation>
    </message>
    <message>
        <source>，</source>
        <translation>, </translation>
    </message>
    <message>
        <source>预设 %1</source>
        <translation>preset %1</translation>
    </message>
    <message>
        <source>主体占画面 %1%，方形画布 %2 像素</source>
        <translation>subject %1% of the frame, square canvas of %2 px</translation>
    </message>
    <message>
        <source>细化边缘</source>
        <translation>refined edges</translation>
    </message>
    <message>
        <source>保留透明处的原照片像素</source>
        <translation>the photo&apos;s pixels kept where transparent</translation>
    </message>
    <message>
        <source>转换为 sRGB</source>
        <translation>converted to sRGB</translation>
    </message>
</context>
<context>
    <name>OutputOptionsDialog</name>
    <message>
        <source>选择…</source>
        <translation>Choose…</translation>
    </message>
    <message>
        <source>裁到主体</source>
        <translation>Crop to the subject</translation>
    </message>
    <message>
        <source>另存蒙版</source>
        <translation>Also save the mask</translation>
    </message>
    <message>
        <source>清理边缘颜色</source>
        <translation>Clean the edges&apos; colours</translation>
    </message>
    <message>
        <source>输出选项</source>
        <translation>Output choices</translation>
    </message>
    <message>
        <source>透明</source>
        <translation>Transparent</translation>
    </message>
    <message>
        <source>白色</source>
        <translation>White</translation>
    </message>
    <message>
        <source>黑色</source>
        <translation>Black</translation>
    </message>
    <message>
        <source>自定义</source>
        <translation>Custom</translation>
    </message>
    <message>
        <source>原样</source>
        <translation>As it is</translation>
    </message>
    <message>
        <source>方形</source>
        <translation>Square</translation>
    </message>
    <message>
        <source>指定尺寸</source>
        <translation>Size</translation>
    </message>
    <message>
        <source>快速</source>
        <translation>Fast</translation>
    </message>
    <message>
        <source>更小</source>
        <translation>Small</translation>
    </message>
    <message>
        <source>背景</source>
        <translation>Background</translation>
    </message>
    <message>
        <source>质量</source>
        <translation>Quality</translation>
    </message>
    <message>
        <source>格式</source>
        <translation>Format</translation>
    </message>
    <message>
        <source>边距</source>
        <translation>Margin</translation>
    </message>
    <message>
        <source>裁剪</source>
        <translation>Crop</translation>
    </message>
    <message>
        <source>画布</source>
        <translation>Canvas</translation>
    </message>
    <message>
        <source>PNG 压缩</source>
        <translation>PNG compression</translation>
    </message>
    <message>
        <source>还没有这张照片的结果，无法预览</source>
        <translation>No result for this photo yet: nothing to preview</translation>
    </message>
    <message>
        <source>无法读取这张照片的结果，无法预览</source>
        <translation>This photo&apos;s result cannot be read: nothing to preview</translation>
    </message>
    <message>
        <source>自定义背景颜色请写成 #rrggbb</source>
        <translation>Write a custom background colour as #rrggbb</translation>
    </message>
    <message>
        <source>画布太大：最多 2.5 亿像素</source>
        <translation>Canvas too large: 250 megapixels at most</translation>
    </message>
    <message>
        <source>背景颜色</source>
        <translation>Background colour</translation>
    </message>
    <message>
        <source>无（JPEG 用白色）</source>
        <translation>None (white for a JPEG)</translation>
    </message>
    <message>
        <source>上一张</source>
        <translation>Previous</translation>
    </message>
    <message>
        <source>下一张</source>
        <translation>Next</translation>
    </message>
    <message>
        <source>这张照片的结果里没有主体，无法预览</source>
        <translation>This photo&apos;s result has no subject: nothing to preview</translation>
    </message>
    <message>
        <source>自动（每张 1 点额度）</source>
        <translation>Automatic (1 credit each)</translation>
    </message>
    <message>
        <source>预览（每张 0.25 点额度）</source>
        <translation>Preview (0.25 credit each)</translation>
    </message>
    <message>
        <source>原尺寸（每张 1 点额度）</source>
        <translation>Full size (1 credit each)</translation>
    </message>
    <message>
        <source>预览：上传不超过 100 万像素的 JPEG，服务只回答约 25 万像素的抠图，每张计 0.25 点额度；边缘用 --edges refine 在原尺寸上精修最合适</source>
        <translation>Preview: a JPEG of at most 1 megapixel is uploaded, the service answers a cut-out of about 0.25 megapixels, at 0.25 credit each; --edges refine, which refines the edges at full size, suits it best</translation>
    </message>
    <message>
        <source>上传尺寸</source>
        <translation>Upload size</translation>
    </message>
    <message>
        <source>透明处保留原照片像素（便于在其他程序里重新编辑蒙版）</source>
        <translation>Keep the photo&apos;s pixels where transparent (to re-edit the mask in another program)</translation>
    </message>
    <message>
        <source>无</source>
        <translation>None</translation>
    </message>
    <message>
        <source>转换为 sRGB</source>
        <translation>Convert to sRGB</translation>
    </message>
    <message>
        <source>照片原色</source>
        <translation>The photo&apos;s own colours</translation>
    </message>
    <message>
        <source>细化边缘（适合小尺寸抠图）</source>
        <translation>Refine the edges (suits a small cut-out)</translation>
    </message>
    <message>
        <source>预设</source>
        <translation>Preset</translation>
    </message>
    <message>
        <source>边缘</source>
        <translation>Edges</translation>
    </message>
    <message>
        <source>方形画布 %1 像素（照片像素不够时更小，不放大），主体占 %2%</source>
        <translation>Square canvas of %1 px (smaller when the photo has fewer pixels; never scaled up), subject %2% of it</translation>
    </message>
    <message>
        <source>，至少 %1 像素</source>
        <translation>, at least %1 px</translation>
    </message>
    <message>
        <source>，至多 %1 像素</source>
        <translation>, at most %1 px</translation>
    </message>
    <message>
        <source>，文件至多 %1 MB</source>
        <translation>, file at most %1 MB</translation>
    </message>
    <message>
        <source>这张照片：只有 %1 像素，%2 要求至少 %3</source>
        <translation>This photo: only %1 px; %2 asks for at least %3</translation>
    </message>
    <message>
        <source>这张照片：%1 像素</source>
        <translation>This photo: %1 px</translation>
    </message>
</context>
<context>
    <name>PhotoCheck</name>
    <message>
        <source>数据在结尾之前中断</source>
        <translation>its data ends before its end</translation>
    </message>
    <message>
        <source>数据有误</source>
        <translation>its data is corrupt</translation>
    </message>
    <message>
        <source>无法读取这张照片</source>
        <translation>the photo cannot be read</translation>
    </message>
    <message>
        <source>超过 2.5 亿像素</source>
        <translation>over 250 megapixels</translation>
    </message>
    <message>
        <source>这种 HEIF 编码无法解码</source>
        <translation>this HEIF coding cannot be decoded</translation>
    </message>
</context>
<context>
    <name>PresetCheck</name>
    <message>
        <source>不是 %1 文件</source>
        <translation>not a %1 file</translation>
    </message>
    <message>
        <source>文件无法读取</source>
        <translation>the file cannot be read</translation>
    </message>
    <message>
        <source>%1×%2 像素，不是方形</source>
        <translation>%1×%2 px, not square</translation>
    </message>
    <message>
        <source>只有 %1 像素，%2 要求至少 %3</source>
        <translation>only %1 px; %2 asks for at least %3</translation>
    </message>
    <message>
        <source>有 %1 像素，%2 要求至多 %3</source>
        <translation>%1 px; %2 asks for at most %3</translation>
    </message>
    <message>
        <source>%1 像素</source>
        <translation>%1 px</translation>
    </message>
    <message>
        <source>边缘全是背景色</source>
        <translation>the border is all background</translation>
    </message>
    <message>
        <source>边缘有 %1 个像素不是背景色</source>
        <translation>%1 border pixels are not the background</translation>
    </message>
    <message>
        <source>主体占画面 %1%，%2 要求 %3%</source>
        <translation>the subject fills %1% of the frame; %2 asks for %3%</translation>
    </message>
    <message>
        <source>颜色空间未知</source>
        <translation>colour space unknown</translation>
    </message>
    <message>
        <source>不是 sRGB</source>
        <translation>not sRGB</translation>
    </message>
    <message>
        <source>文件 %1 MB，%2 要求至多 %3 MB</source>
        <translation>the file is %1 MB; %2 asks for at most %3 MB</translation>
    </message>
    <message>
        <source>没有主体，没有放上画布</source>
        <translation>no subject; not placed on a canvas</translation>
    </message>
    <message>
        <source>；</source>
        <translation>; </translation>
    </message>
</context>
<context>
    <name>RemoveBGConn</name>
    <message>
        <source>：</source>
        <translation>: </translation>
    </message>
    <message>
        <source>账户余额：</source>
        <translation>Balance: </translation>
    </message>
    <message>
        <source>账户额度已用完（%1），本批没有发送任何照片，%2 张未发送</source>
        <translation>The credit is spent (%1); no photo of this batch was sent; unsent: %2</translation>
    </message>
    <message>
        <source>服务不接受这个密钥（%1），本批没有发送任何照片，%2 张未发送</source>
        <translation>The service refused the key (%1); no photo of this batch was sent; unsent: %2</translation>
    </message>
    <message>
        <source>正在发送...</source>
        <translation>Sending...</translation>
    </message>
    <message>
        <source>账户额度已用完（%1），已停止发送，%2 张未发送</source>
        <translation>The credit is spent (%1); sending stopped; unsent: %2</translation>
    </message>
    <message>
        <source>服务不接受这个密钥（%1），已停止发送，%2 张未发送</source>
        <translation>The service refused the key (%1); sending stopped; unsent: %2</translation>
    </message>
    <message>
        <source>发送完成！正在接收...</source>
        <translation>Sent! Receiving...</translation>
    </message>
    <message>
        <source>接收完成！</source>
        <translation>Received!</translation>
    </message>
    <message>
        <source>提示：本机的替身服务没有运行。可用 quorrin-offline 启动它再打开窗口，或用 --service-url 指向真正的服务</source>
        <translation>Hint: the local stand-in service is not running. Start it with quorrin-offline, then open the window, or point --service-url at the real service</translation>
    </message>
    <message>
        <source>
全部完成！</source>
        <translation>
All done!</translation>
    </message>
    <message>
        <source>照片已损坏（%1），未发送</source>
        <translation>The photo is damaged (%1); not sent</translation>
    </message>
    <message>
        <source>无法生成要上传的图像（%1），未发送</source>
        <translation>Could not make the image to upload (%1); not sent</translation>
    </message>
</context>
<context>
    <name>ReplyClassification</name>
    <message>
        <source>服务的回复超过 256 MiB，已中止接收</source>
        <translation>The service&apos;s reply is over 256 MiB; receiving abandoned</translation>
    </message>
    <message>
        <source>服务 %1 秒没有收发任何数据，已中止</source>
        <translation>Nothing came from or went to the service for %1 s; given up</translation>
    </message>
    <message>
        <source>服务的回复不是图片：HTTP %1，类型 %2，%3 字节</source>
        <translation>The service&apos;s reply is not an image: HTTP %1, type %2, %3 bytes</translation>
    </message>
    <message>
        <source>（无）</source>
        <translation>(none)</translation>
    </message>
</context>
<context>
    <name>RetryPolicy</name>
    <message>
        <source>服务繁忙（HTTP 429），%1 秒后重试</source>
        <translation>The service is busy (HTTP 429); trying again in %1 s</translation>
    </message>
    <message>
        <source>服务出错（HTTP %1），%2 秒后重试</source>
        <translation>The service failed (HTTP %1); trying again in %2 s</translation>
    </message>
    <message>
        <source>连接出错（%1），%2 秒后重试</source>
        <translation>Connection failed (%1); trying again in %2 s</translation>
    </message>
</context>
<context>
    <name>Review</name>
    <message>
        <source>还没有结果</source>
        <translation>No result yet</translation>
    </message>
    <message>
        <source>不是可用的原尺寸结果</source>
        <translation>Not a usable full-size result</translation>
    </message>
    <message>
        <source>原尺寸图没有生成</source>
        <translation>The full-size image was never made</translation>
    </message>
    <message>
        <source>没有找到主体</source>
        <translation>No subject found</translation>
    </message>
    <message>
        <source>几乎全部透明</source>
        <translation>Almost all transparent</translation>
    </message>
    <message>
        <source>几乎没有去掉背景</source>
        <translation>Almost nothing taken away</translation>
    </message>
</context>
<context>
    <name>ReviewCanvas</name>
    <message>
        <source>未选画笔（E 擦除，R 恢复）</source>
        <translation>No brush (E erases, R restores)</translation>
    </message>
    <message>
        <source>擦除</source>
        <translation>Erase</translation>
    </message>
    <message>
        <source>恢复</source>
        <translation>Restore</translation>
    </message>
    <message>
        <source>%1，笔刷 %2 像素，缩放 %3%</source>
        <translation>%1, brush %2 px, zoom %3%</translation>
    </message>
    <message>
        <source>照片无法读取，或与结果的尺寸不同，无法对照</source>
        <translation>The photo cannot be read, or differs in size from the result: nothing to compare</translation>
    </message>
    <message>
        <source>照片无法读取，或与结果的尺寸不同，无法恢复</source>
        <translation>The photo cannot be read, or differs in size from the result: nothing to restore from</translation>
    </message>
</context>
<context>
    <name>ReviewWindow</name>
    <message>
        <source>Quorrin 审阅 — %1</source>
        <translation>Quorrin review — %1</translation>
    </message>
    <message>
        <source>重新发送</source>
        <translation>Send again</translation>
    </message>
    <message>
        <source>把没有结果的照片（或选中的这张）再发送一次</source>
        <translation>Send the photos without a result (or the selected one) again</translation>
    </message>
    <message>
        <source>这里没有照片：%1</source>
        <translation>No photos here: %1</translation>
    </message>
    <message>
        <source>%1 张照片。方向键选择，回车放大，Delete 把结果移到回收站以便重新发送</source>
        <translation>Photos: %1. Arrows choose, Return enlarges, Delete moves a result to the trash so that it is sent again</translation>
    </message>
    <message>
        <source>已手工修改</source>
        <translation>Touched up by hand</translation>
    </message>
    <message>
        <source>%1 还没有结果</source>
        <translation>%1 has no result yet</translation>
    </message>
    <message>
        <source>无法读取 %1：不是可用的原尺寸结果</source>
        <translation>Cannot read %1: not a usable full-size result</translation>
    </message>
    <message>
        <source>保存修改</source>
        <translation>Save the changes</translation>
    </message>
    <message>
        <source>%1 的修改还没有保存。保存吗？</source>
        <translation>The changes to %1 are not saved. Save them?</translation>
    </message>
    <message>
        <source>没有要保存的修改</source>
        <translation>No changes to save</translation>
    </message>
    <message>
        <source>正在保存 %1…</source>
        <translation>Saving %1…</translation>
    </message>
    <message>
        <source>已保存 %1，并由它重新生成 %2 个文件</source>
        <translation>Saved %1, and made %2 files from it again</translation>
    </message>
    <message>
        <source>只有 PNG 结果能保存修改：%1</source>
        <translation>Only a PNG result can keep changes: %1</translation>
    </message>
    <message>
        <source>已保存 %1，但由它生成的文件没有写成</source>
        <translation>Saved %1, but the files made from it could not be written</translation>
    </message>
    <message>
        <source>无法保存 %1：文件夹不可写，或磁盘已满；修改仍在窗口里</source>
        <translation>Cannot save %1: the folder cannot be written, or the disk is full; the changes are still in the window</translation>
    </message>
    <message>
        <source>%1 还没有结果，下次批处理会发送它</source>
        <translation>%1 has no result yet; the next batch sends it</translation>
    </message>
    <message>
        <source>无法把 %1 移到回收站：%2</source>
        <translation>Cannot move %1 to the trash: %2</translation>
    </message>
    <message>
        <source>%1 的结果已移到回收站，下次批处理会重新发送它</source>
        <translation>The result of %1 is in the trash; the next batch sends it again</translation>
    </message>
    <message>
        <source>不合预设要求</source>
        <translation>Short of the preset</translation>
    </message>
    <message>
        <source>；不合预设要求：%1</source>
        <translation>; short of the preset: %1</translation>
    </message>
</context>
<context>
    <name>ScaleAndMix</name>
    <message>
        <source>无法读取原图</source>
        <translation>cannot read the photo</translation>
    </message>
    <message>
        <source>服务的抠图无法读取或没有透明通道</source>
        <translation>the service&apos;s cut-out cannot be read or has no transparency</translation>
    </message>
    <message>
        <source>结果文件的格式存不下透明度</source>
        <translation>the result&apos;s format cannot hold transparency</translation>
    </message>
    <message>
        <source>无法写入结果文件</source>
        <translation>cannot write the result file</translation>
    </message>
    <message>
        <source>图像库无法处理这张图</source>
        <translation>the image library cannot handle this image</translation>
    </message>
    <message>
        <source>无法写入按输出选项生成的文件</source>
        <translation>cannot write the file for the output choices</translation>
    </message>
    <message>
        <source>按输出选项生成的文件与原图同名，没有写入</source>
        <translation>the file for the output choices would have the photo&apos;s own name; not written</translation>
    </message>
    <message>
        <source>无法读取已有的原尺寸结果</source>
        <translation>cannot read the full-size result already there</translation>
    </message>
</context>
<context>
    <name>Widget</name>
    <message>
        <source>Quorrin</source>
        <translation>Quorrin</translation>
    </message>
    <message>
        <source>Token</source>
        <translation>Token</translation>
    </message>
    <message>
        <source>输入路径</source>
        <translation>Input path</translation>
    </message>
    <message>
        <source>文件</source>
        <translation>File</translation>
    </message>
    <message>
        <source>文件夹</source>
        <translation>Folder</translation>
    </message>
    <message>
        <source>输出路径</source>
        <translation>Output path</translation>
    </message>
    <message>
        <source>一键抠图</source>
        <translation>Cut out</translation>
    </message>
    <message>
        <source>中止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>发送前确认</source>
        <translation>Send the photos?</translation>
    </message>
    <message>
        <source>将发送 %1 张照片（另有 %2 张不必发送），约需 %3 点额度；账户余额：%4。
现在发送吗？</source>
        <translation>Photos to send: %1 (and %2 that need not be sent), at about %3 credits; balance: %4.
Send them now?</translation>
    </message>
    <message>
        <source>请先填写密钥，再把它保存在系统钥匙串里</source>
        <translation>Fill in the key first, then keep it in the system keyring</translation>
    </message>
    <message>
        <source>密钥已保存在系统钥匙串里，下次启动时自动填入</source>
        <translation>The key is kept in the system keyring, and filled in at the next start</translation>
    </message>
    <message>
        <source>没有可用的系统钥匙串，密钥没有保存：%1</source>
        <translation>No system keyring available; the key is not kept: %1</translation>
    </message>
    <message>
        <source>已从系统钥匙串删除密钥</source>
        <translation>The key is removed from the system keyring</translation>
    </message>
    <message>
        <source>没有可用的系统钥匙串：%1</source>
        <translation>No system keyring available: %1</translation>
    </message>
    <message>
        <source>输出选项</source>
        <translation>Output choices</translation>
    </message>
    <message>
        <source>输出选项由命令行给出，这次的更改只用于本次运行，不会保存</source>
        <translation>The output choices come from the command line: this change holds for this run only, and is not saved</translation>
    </message>
    <message>
        <source>无法保存输出选项：%1</source>
        <translation>Could not save the output choices: %1</translation>
    </message>
    <message>
        <source>从系统钥匙串删除密钥</source>
        <translation>Forget the key kept in the system keyring</translation>
    </message>
    <message>
        <source>把密钥保存在系统钥匙串里</source>
        <translation>Keep the key in the system keyring</translation>
    </message>
    <message>
        <source>收到 %1 个文件或文件夹，只取第一个：%2</source>
        <translation>Received %1 files or folders; only the first is taken: %2</translation>
    </message>
    <message>
        <source>Quorrin — 正在完成已发送的照片</source>
        <translation>Quorrin — finishing the photos already sent</translation>
    </message>
    <message>
        <source>Quorrin — 正在完成已发送的 %1 张照片</source>
        <translation>Quorrin — finishing the photos already sent: %1</translation>
    </message>
    <message>
        <source>打开文件</source>
        <translation>Open a photo</translation>
    </message>
    <message>
        <source>保存文件</source>
        <translation>Save the result as</translation>
    </message>
    <message>
        <source>打开输入文件夹</source>
        <translation>Choose the input folder</translation>
    </message>
    <message>
        <source>打开输出文件夹</source>
        <translation>Choose the output folder</translation>
    </message>
    <message>
        <source>Images (*.png *.tif *.tiff *.webp *.jpg *.jpeg)</source>
        <translation>Images (*.png *.tif *.tiff *.webp *.jpg *.jpeg)</translation>
    </message>
    <message>
        <source>审阅和修改这批结果：按 Ctrl+R，或点输出框右侧的“审阅结果”</source>
        <translation>To review and touch up these results: press Ctrl+R, or the “Review the results” action at the end of the output field</translation>
    </message>
    <message>
        <source>审阅结果</source>
        <translation>Review the results</translation>
    </message>
    <message>
        <source>审阅结果（Ctrl+R）</source>
        <translation>Review the results (Ctrl+R)</translation>
    </message>
    <message>
        <source>请先填写密钥，再重新发送</source>
        <translation>Fill in the key first, then send again</translation>
    </message>
    <message>
        <source>Images (*.png *.jpg *.jpeg *.heic *.heif *.avif *.PNG *.JPG *.JPEG *.HEIC *.HEIF *.AVIF)</source>
        <translation>Images (*.png *.jpg *.jpeg *.heic *.heif *.avif *.PNG *.JPG *.JPEG *.HEIC *.HEIF *.AVIF)</translation>
    </message>
</context>
</TS>
