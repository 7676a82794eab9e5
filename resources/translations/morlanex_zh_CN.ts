<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN" sourcelanguage="zh_TW">
<context>
    <name>AboutBox</name>
    <message>
        <source>尚未啟動直播模式</source>
        <translation>尚未启动直播模式</translation>
    </message>
    <message>
        <source>關於Morlanex!</source>
        <translation>关于Morlanex!</translation>
    </message>
    <message>
        <source>視訊分享網路位置</source>
        <translation>视频分享网络位置</translation>
    </message>
    <message>
        <source>視訊直播尚未啟動</source>
        <translation>视频直播尚未启动</translation>
    </message>
    <message>
        <source>▼說明:
1. 本軟體為開放分享之工具軟體,Ulma 保留本軟體之一切權利,包括收費與使用條款之訂定.
2. 本軟體必須連線至 Zanvu 媒體伺服器才能運作;此連線僅用來讓收視者得知您分享視訊的網路位置,收視者無法由此取得您電腦中的任何其他資訊.
3. 開始分享後,收視者即可使用 Zanvu 的 Morlanex! 收視程式找到您的頻道.
   Zanvu 軟體下載網址: %1
4. 系統防火牆可能會阻擋本軟體的連線,此時請您手動解除防火牆對本軟體的限制.
5. 若有任何問題,歡迎來信至 Ulma 服務信箱:
   service@ulma.example

▼商務版本說明:
1. 需要更多服務與支援的商務使用者,歡迎與 Ulma 聯絡,商務信箱:
   business@ulma.example
2. 商務版本可為企業及其產品提供更完整的行銷內容.</source>
        <translation>▼说明:
1. 本软件为开放分享的工具软件,Ulma 保留本软件的一切权利,包括收费与使用条款的制定.
2. 本软件必须连接至 Zanvu 媒体服务器才能运行;此连接仅用来让收视者得知您分享视频的网络位置,收视者无法由此取得您电脑中的任何其他信息.
3. 开始分享后,收视者即可使用 Zanvu 的 Morlanex! 收视程序找到您的频道.
   Zanvu 软件下载网址: %1
4. 系统防火墙可能会阻挡本软件的连接,此时请您手动解除防火墙对本软件的限制.
5. 若有任何问题,欢迎来信至 Ulma 服务信箱:
   service@ulma.example

▼商务版本说明:
1. 需要更多服务与支持的商务用户,欢迎与 Ulma 联系,商务信箱:
   business@ulma.example
2. 商务版本可为企业及其产品提供更完整的营销内容.</translation>
    </message>
    <message>
        <source>:/skin/banner.png</source>
        <translation>:/skin_zh_CN/banner.png</translation>
    </message>
</context>
<context>
    <name>BroadcastSession</name>
    <message>
        <source>伺服連線中</source>
        <translation>服务器连接中</translation>
    </message>
    <message>
        <source>伺服無法連線</source>
        <translation>服务器无法连接</translation>
    </message>
    <message>
        <source>伺服中斷中</source>
        <translation>服务器断开中</translation>
    </message>
    <message>
        <source>視訊直播已關閉</source>
        <translation>视频直播已关闭</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>視訊正在運作中,這樣做將會關閉先前的設定,確定要繼續嗎?</source>
        <translation>视频正在运行,这样做将关闭先前的设置,确定要继续吗?</translation>
    </message>
    <message>
        <source>確定要中止現場直播模式嗎?</source>
        <translation>确定要停止现场直播模式吗?</translation>
    </message>
    <message>
        <source>累計收視人次將歸零,確定要繼續嗎?</source>
        <translation>累计收视人次将归零,确定要继续吗?</translation>
    </message>
    <message>
        <source>預覽模式</source>
        <translation>预览模式</translation>
    </message>
    <message>
        <source>現場直播</source>
        <translation>现场直播</translation>
    </message>
    <message>
        <source>視訊直播已啟動</source>
        <translation>视频直播已启动</translation>
    </message>
    <message>
        <source>視訊裝置已關閉</source>
        <translation>视频设备已关闭</translation>
    </message>
    <message>
        <source>您未安裝任何視訊擷取裝置!</source>
        <translation>您未安装任何视频采集设备!</translation>
    </message>
    <message>
        <source>按此啟動直播</source>
        <translation>按此启动直播</translation>
    </message>
    <message>
        <source>無法開啟視訊或音訊裝置</source>
        <translation>无法打开视频或音频设备</translation>
    </message>
    <message>
        <source>無法開啟直播連接埠 %1</source>
        <translation>无法打开直播端口 %1</translation>
    </message>
    <message>
        <source>檢查到新版本(%1),請下載更新.</source>
        <translation>检测到新版本(%1),请下载更新.</translation>
    </message>
    <message>
        <source>功能選單</source>
        <translation>功能菜单</translation>
    </message>
    <message>
        <source>關閉視窗</source>
        <translation>关闭窗口</translation>
    </message>
    <message>
        <source>頻道名稱</source>
        <translation>频道名称</translation>
    </message>
    <message>
        <source>頻道簡介</source>
        <translation>频道简介</translation>
    </message>
    <message>
        <source>[說明] 按滑鼠兩下可修正頻道文字內容.</source>
        <translation>[说明] 双击鼠标可修改频道文字内容.</translation>
    </message>
    <message>
        <source>狀態</source>
        <translation>状态</translation>
    </message>
    <message>
        <source>累計收視人次</source>
        <translation>累计收视人次</translation>
    </message>
    <message>
        <source>目前收視人數</source>
        <translation>目前收视人数</translation>
    </message>
    <message>
        <source>初始設定</source>
        <translation>初始设置</translation>
    </message>
    <message>
        <source>啟動視訊直播</source>
        <translation>启动视频直播</translation>
    </message>
    <message>
        <source>關閉視訊直播</source>
        <translation>关闭视频直播</translation>
    </message>
    <message>
        <source>顯示主視窗</source>
        <translation>显示主窗口</translation>
    </message>
    <message>
        <source>關閉主視窗</source>
        <translation>关闭主窗口</translation>
    </message>
    <message>
        <source>進入Zanvu官網</source>
        <translation>进入Zanvu官网</translation>
    </message>
    <message>
        <source>進入Morlanex!官網</source>
        <translation>进入Morlanex!官网</translation>
    </message>
    <message>
        <source>關於Morlanex</source>
        <translation>关于Morlanex</translation>
    </message>
    <message>
        <source>結束程式</source>
        <translation>退出程序</translation>
    </message>
    <message>
        <source>快速設定精靈</source>
        <translation>快速设置向导</translation>
    </message>
    <message>
        <source>輸入音源控制</source>
        <translation>输入音源控制</translation>
    </message>
    <message>
        <source>關閉視訊裝置</source>
        <translation>关闭视频设备</translation>
    </message>
    <message>
        <source>計數器歸零</source>
        <translation>计数器归零</translation>
    </message>
    <message>
        <source>自動- 依頻寬現狀浮動調整</source>
        <translation>自动- 依带宽现状浮动调整</translation>
    </message>
    <message>
        <source>高- 畫質較差 頻寬消耗最少</source>
        <translation>高- 画质较差 带宽消耗最少</translation>
    </message>
    <message>
        <source>中- 畫質適中 頻寬消耗適中</source>
        <translation>中- 画质适中 带宽消耗适中</translation>
    </message>
    <message>
        <source>低- 畫質最佳 頻寬消耗最大</source>
        <translation>低- 画质最佳 带宽消耗最大</translation>
    </message>
    <message>
        <source>關於Morlanex!</source>
        <translation>关于Morlanex!</translation>
    </message>
    <message>
        <source>進階功能</source>
        <translation>高级功能</translation>
    </message>
    <message>
        <source>切換視訊壓縮比</source>
        <translation>切换视频压缩比</translation>
    </message>
    <message>
        <source>:/skin/placeholder.png</source>
        <translation>:/skin_zh_CN/placeholder.png</translation>
    </message>
    <message>
        <source>外部 </source>
        <translation>外部 </translation>
    </message>
</context>
<context>
    <name>MediaController</name>
    <message>
        <source>視訊裝置已中斷: %1</source>
        <translation>视频设备已断开: %1</translation>
    </message>
    <message>
        <source>音訊裝置已中斷: %1,改以靜音直播</source>
        <translation>音频设备已断开: %1,改以静音直播</translation>
    </message>
    <message>
        <source>直播編碼失敗</source>
        <translation>直播编码失败</translation>
    </message>
</context>
<context>
    <name>PushText</name>
    <message>
        <source>經中繼推送：Windows Media 播放器無法連線</source>
        <translation>经中继推送：Windows Media 播放器无法连接</translation>
    </message>
    <message>
        <source>已將瀏覽器版本推送到中繼伺服器（頻道 %1）：瀏覽器觀眾可經由中繼觀看。Windows Media 播放器必須直接連到本機，因此無法觀看此頻道。已推送 %2 段，因上傳頻寬不足略過 %3 段。</source>
        <translation>已将浏览器版本推送到中继服务器（频道 %1）：浏览器观众可经由中继观看。Windows Media 播放器必须直接连到本机，因此无法观看此频道。已推送 %2 段，因上传带宽不足略过 %3 段。</translation>
    </message>
    <message>
        <source>無法推送到中繼伺服器：%1。</source>
        <translation>无法推送到中继服务器：%1。</translation>
    </message>
</context>
<context>
    <name>ReachStatus</name>
    <message>
        <source>TCP %1、UDP %1</source>
        <translation>TCP %1、UDP %1</translation>
    </message>
    <message>
        <source>、%1</source>
        <translation>、%1</translation>
    </message>
    <message>
        <source>；</source>
        <translation>；</translation>
    </message>
    <message>
        <source>（未對應：%1）</source>
        <translation>（未映射：%1）</translation>
    </message>
    <message>
        <source>請在路由器轉送 </source>
        <translation>请在路由器转发 </translation>
    </message>
    <message>
        <source>請在路由器上把下列連接埠轉送到本機：</source>
        <translation>请在路由器上把下列端口转发到本机：</translation>
    </message>
    <message>
        <source>路由器以 %1 對應了連接埠，外部位址 %2：%3。</source>
        <translation>路由器以 %1 映射了端口，外部地址 %2：%3。</translation>
    </message>
    <message>
        <source>外部可連線 </source>
        <translation>外部可连接 </translation>
    </message>
    <message>
        <source>（%1）</source>
        <translation>（%1）</translation>
    </message>
    <message>
        <source>目錄伺服器已從外部連入 %1。</source>
        <translation>目录服务器已从外部连入 %1。</translation>
    </message>
    <message>
        <source>不需要路由器對應連接埠。</source>
        <translation>不需要路由器映射端口。</translation>
    </message>
    <message>
        <source>路由器的外部位址 %1 是私有或共用位址：本機位於第二層 NAT 之後（電信業者的 NAT，或路由器後面還有路由器），在這台路由器上對應連接埠也無法讓外部觀眾連入。外部觀眾只能經由中繼伺服器觀看。</source>
        <translation>路由器的外部地址 %1 是私有或共享地址：本机位于第二层 NAT 之后（电信运营商的 NAT，或路由器后面还有路由器），在这台路由器上映射端口也无法让外部观众连入。外部观众只能经由中继服务器观看。</translation>
    </message>
    <message>
        <source>第二層 NAT：外部觀眾無法直接連線</source>
        <translation>第二层 NAT：外部观众无法直接连接</translation>
    </message>
    <message>
        <source>正在向路由器要求對應連接埠…</source>
        <translation>正在向路由器请求映射端口…</translation>
    </message>
    <message>
        <source>路由器給直播串流的外部連接埠是 %1，不是 %2；目錄伺服器只能告訴觀眾 %2，所以觀眾無法經由目錄連入。請在路由器上手動轉送 TCP %2。</source>
        <translation>路由器给直播流的外部端口是 %1，不是 %2；目录服务器只能告诉观众 %2，所以观众无法经由目录连入。请在路由器上手动转发 TCP %2。</translation>
    </message>
    <message>
        <source>外部連接埠為 %1，目錄無法告知觀眾</source>
        <translation>外部端口为 %1，目录无法告知观众</translation>
    </message>
    <message>
        <source>已對應 %1（%2），等待外部確認…</source>
        <translation>已映射 %1（%2），等待外部确认…</translation>
    </message>
    <message>
        <source>已對應 %1（%2），目錄未確認</source>
        <translation>已映射 %1（%2），目录未确认</translation>
    </message>
    <message>
        <source>目錄伺服器無法回答外部連線檢查，無法確認外部觀眾能否連入。</source>
        <translation>目录服务器无法回答外部连接检查，无法确认外部观众能否连入。</translation>
    </message>
    <message>
        <source>已對應連接埠，但外部仍無法連入</source>
        <translation>已映射端口，但外部仍无法连入</translation>
    </message>
    <message>
        <source>但目錄伺服器從外部連不到 %1（%2）。請檢查本機防火牆。</source>
        <translation>但目录服务器从外部连不到 %1（%2）。请检查本机防火墙。</translation>
    </message>
    <message>
        <source>自動對應連接埠已關閉（Morlanex.conf 的 PortMapping=off）。</source>
        <translation>自动映射端口已关闭（Morlanex.conf 的 PortMapping=off）。</translation>
    </message>
    <message>
        <source>路由器沒有自動對應連接埠的服務（PCP、NAT-PMP、UPnP 都沒有回應）。</source>
        <translation>路由器没有自动映射端口的服务（PCP、NAT-PMP、UPnP 都没有响应）。</translation>
    </message>
    <message>
        <source>路由器拒絕對應連接埠：%1。</source>
        <translation>路由器拒绝映射端口：%1。</translation>
    </message>
    <message>
        <source>正在檢查外部連線…</source>
        <translation>正在检查外部连接…</translation>
    </message>
    <message>
        <source>目錄伺服器無法回答外部連線檢查。</source>
        <translation>目录服务器无法回答外部连接检查。</translation>
    </message>
    <message>
        <source>目錄伺服器從外部連不到 %1。</source>
        <translation>目录服务器从外部连不到 %1。</translation>
    </message>
    <message>
        <source>、</source>
        <translation>、</translation>
    </message>
    <message>
        <source>%1：%2（%3）</source>
        <translation>%1：%2（%3）</translation>
    </message>
    <message>
        <source>（TCP 是直播串流，UDP 是目錄伺服器與 WebRTC）。連接埠每次啟動可能不同：請在 Morlanex.conf 的 [Network] 以 StreamPort 與 WebRtcPort 固定它們。</source>
        <translation>（TCP 是直播流，UDP 是目录服务器与 WebRTC）。端口每次启动可能不同：请在 Morlanex.conf 的 [Network] 以 StreamPort 与 WebRtcPort 固定它们。</translation>
    </message>
</context>
<context>
    <name>SettingsStore</name>
    <message>
        <source>無法儲存設定檔 %1
%2</source>
        <translation>无法保存设置文件 %1
%2</translation>
    </message>
</context>
<context>
    <name>SetupWizard</name>
    <message>
        <source>無法儲存這些字元: %1</source>
        <translation>无法保存这些字符: %1</translation>
    </message>
    <message>
        <source>您未安裝任何視訊擷取裝置</source>
        <translation>您未安装任何视频采集设备</translation>
    </message>
    <message>
        <source>快速設定精靈</source>
        <translation>快速设置向导</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>重新選取設定模式</source>
        <translation>重新选择设置模式</translation>
    </message>
    <message>
        <source>■ 指定設定模式</source>
        <translation>■ 指定设置模式</translation>
    </message>
    <message>
        <source>啟用上一次設定</source>
        <translation>启用上一次设置</translation>
    </message>
    <message>
        <source>依循上一次的視訊裝置設定來啟動</source>
        <translation>依照上一次的视频设备设置来启动</translation>
    </message>
    <message>
        <source>設定新視訊裝置</source>
        <translation>设置新视频设备</translation>
    </message>
    <message>
        <source>設定新的視訊裝置來源</source>
        <translation>设置新的视频设备来源</translation>
    </message>
    <message>
        <source>＊請先確定視訊裝置已安置在電腦上,如有電源請先開啟.</source>
        <translation>＊请先确定视频设备已连接到电脑上,如有电源请先打开.</translation>
    </message>
    <message>
        <source>■ 選擇您的影像視訊來源裝置</source>
        <translation>■ 选择您的影像视频来源设备</translation>
    </message>
    <message>
        <source>視訊驅動裝置</source>
        <translation>视频驱动设备</translation>
    </message>
    <message>
        <source>重新搜尋視訊裝置</source>
        <translation>重新搜索视频设备</translation>
    </message>
    <message>
        <source>下一步</source>
        <translation>下一步</translation>
    </message>
    <message>
        <source>■ 選擇您的聲音輸入來源裝置</source>
        <translation>■ 选择您的声音输入来源设备</translation>
    </message>
    <message>
        <source>音源驅動裝置</source>
        <translation>音源驱动设备</translation>
    </message>
    <message>
        <source>音源裝置</source>
        <translation>音源设备</translation>
    </message>
    <message>
        <source>■ 輸入您的視訊頻道名稱與頻道簡介</source>
        <translation>■ 输入您的视频频道名称与频道简介</translation>
    </message>
    <message>
        <source>頻道名稱</source>
        <translation>频道名称</translation>
    </message>
    <message>
        <source>頻道簡介</source>
        <translation>频道简介</translation>
    </message>
    <message>
        <source>■ 設定搜尋此頻道的關鍵字</source>
        <translation>■ 设置搜索此频道的关键字</translation>
    </message>
    <message>
        <source>例如: 自拍 景點 飯店 活動 現場實況</source>
        <translation>例如: 自拍 景点 饭店 活动 现场实况</translation>
    </message>
    <message>
        <source>■ 設定影像壓縮比</source>
        <translation>■ 设置影像压缩比</translation>
    </message>
    <message>
        <source>變頻模式MBR</source>
        <translation>变频模式MBR</translation>
    </message>
    <message>
        <source>固定模式</source>
        <translation>固定模式</translation>
    </message>
    <message>
        <source>自動- 依頻寬現狀浮動調整(預設)</source>
        <translation>自动- 依带宽现状浮动调整(默认)</translation>
    </message>
    <message>
        <source>高- 畫質較差 頻寬消耗最少</source>
        <translation>高- 画质较差 带宽消耗最少</translation>
    </message>
    <message>
        <source>中- 畫質適中 頻寬消耗適中</source>
        <translation>中- 画质适中 带宽消耗适中</translation>
    </message>
    <message>
        <source>低- 畫質最佳 頻寬消耗最大</source>
        <translation>低- 画质最佳 带宽消耗最大</translation>
    </message>
    <message>
        <source>■ 設定完成: 按下[完成] 後將自動進入[視訊預覽模式].</source>
        <translation>■ 设置完成: 按下[完成] 后将自动进入[视频预览模式].</translation>
    </message>
    <message>
        <source>■ 稍後您將可按下</source>
        <translation>■ 稍后您将可按下</translation>
    </message>
    <message>
        <source>來啟動視訊現場直播.</source>
        <translation>来启动视频现场直播.</translation>
    </message>
    <message>
        <source>■ 透過Zanvu,即可在網路上搜尋到您的頻道.</source>
        <translation>■ 通过Zanvu,即可在网络上搜索到您的频道.</translation>
    </message>
    <message>
        <source>Zanvu官方網址</source>
        <translation>Zanvu官方网址</translation>
    </message>
    <message>
        <source>完成</source>
        <translation>完成</translation>
    </message>
    <message>
        <source>:/skin/wizard_strip.png</source>
        <translation>:/skin_zh_CN/wizard_strip.png</translation>
    </message>
</context>
<context>
    <name>StartHint</name>
    <message>
        <source>按此開始</source>
        <translation>按此开始</translation>
    </message>
</context>
</TS>
