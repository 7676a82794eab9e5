<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="zh_TW">
<context>
    <name>AboutBox</name>
    <message>
        <source>尚未啟動直播模式</source>
        <translation>Not live yet</translation>
    </message>
    <message>
        <source>關於Morlanex!</source>
        <translation>About Morlanex!</translation>
    </message>
    <message>
        <source>視訊分享網路位置</source>
        <translation>Where viewers find the video</translation>
    </message>
    <message>
        <source>視訊直播尚未啟動</source>
        <translation>The broadcast has not started</translation>
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
        <translation>▼About:
1. This software is a freely shared tool. Ulma keeps every right to it, including setting fees and terms of use.
2. This software works only while connected to the Zanvu media server; the connection only tells viewers where you share your video, and viewers cannot learn anything else about your computer through it.
3. Once you share, viewers find your channel with Zanvu's Morlanex! viewer.
   Zanvu software download: %1
4. A firewall may block this software's connections; if so, allow it through the firewall.
5. For any question, write to Ulma's service address:
   service@ulma.example

▼Business edition:
1. Business users who need more service and support are welcome to contact Ulma at:
   business@ulma.example
2. The business edition gives companies and their products fuller marketing content.</translation>
    </message>
    <message>
        <source>:/skin/banner.png</source>
        <translation>:/skin_en/banner.png</translation>
    </message>
</context>
<context>
    <name>BroadcastSession</name>
    <message>
        <source>伺服連線中</source>
        <translation>Connecting</translation>
    </message>
    <message>
        <source>伺服無法連線</source>
        <translation>Cannot reach the server</translation>
    </message>
    <message>
        <source>伺服中斷中</source>
        <translation>Disconnecting</translation>
    </message>
    <message>
        <source>視訊直播已關閉</source>
        <translation>Broadcast ended</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>視訊正在運作中,這樣做將會關閉先前的設定,確定要繼續嗎?</source>
        <translation>The video is running; this closes the current setup. Continue?</translation>
    </message>
    <message>
        <source>確定要中止現場直播模式嗎?</source>
        <translation>Stop the live broadcast?</translation>
    </message>
    <message>
        <source>累計收視人次將歸零,確定要繼續嗎?</source>
        <translation>The total views will be reset to zero. Continue?</translation>
    </message>
    <message>
        <source>預覽模式</source>
        <translation>Preview</translation>
    </message>
    <message>
        <source>現場直播</source>
        <translation>LIVE</translation>
    </message>
    <message>
        <source>視訊直播已啟動</source>
        <translation>Broadcast started</translation>
    </message>
    <message>
        <source>視訊裝置已關閉</source>
        <translation>Video device closed</translation>
    </message>
    <message>
        <source>您未安裝任何視訊擷取裝置!</source>
        <translation>No video capture device is installed!</translation>
    </message>
    <message>
        <source>按此啟動直播</source>
        <translation>Go live here</translation>
    </message>
    <message>
        <source>無法開啟視訊或音訊裝置</source>
        <translation>Cannot open the video or audio device</translation>
    </message>
    <message>
        <source>無法開啟直播連接埠 %1</source>
        <translation>Cannot open broadcast port %1</translation>
    </message>
    <message>
        <source>檢查到新版本(%1),請下載更新.</source>
        <translation>A new version (%1) is available; please download the update.</translation>
    </message>
    <message>
        <source>功能選單</source>
        <translation>Menu</translation>
    </message>
    <message>
        <source>關閉視窗</source>
        <translation>Close window</translation>
    </message>
    <message>
        <source>頻道名稱</source>
        <translation>Channel</translation>
    </message>
    <message>
        <source>頻道簡介</source>
        <translation>Details</translation>
    </message>
    <message>
        <source>[說明] 按滑鼠兩下可修正頻道文字內容.</source>
        <translation>[Help] Double-click to edit the channel's text.</translation>
    </message>
    <message>
        <source>狀態</source>
        <translation>Now:</translation>
    </message>
    <message>
        <source>累計收視人次</source>
        <translation>Total views</translation>
    </message>
    <message>
        <source>目前收視人數</source>
        <translation>Watching now</translation>
    </message>
    <message>
        <source>初始設定</source>
        <translation>Set up</translation>
    </message>
    <message>
        <source>啟動視訊直播</source>
        <translation>Go live</translation>
    </message>
    <message>
        <source>關閉視訊直播</source>
        <translation>Stop broadcasting</translation>
    </message>
    <message>
        <source>顯示主視窗</source>
        <translation>Show main window</translation>
    </message>
    <message>
        <source>關閉主視窗</source>
        <translation>Hide main window</translation>
    </message>
    <message>
        <source>進入Zanvu官網</source>
        <translation>Visit the Zanvu website</translation>
    </message>
    <message>
        <source>進入Morlanex!官網</source>
        <translation>Visit the Morlanex! website</translation>
    </message>
    <message>
        <source>關於Morlanex</source>
        <translation>About Morlanex</translation>
    </message>
    <message>
        <source>結束程式</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>快速設定精靈</source>
        <translation>Quick setup wizard</translation>
    </message>
    <message>
        <source>輸入音源控制</source>
        <translation>Recording volume</translation>
    </message>
    <message>
        <source>關閉視訊裝置</source>
        <translation>Close video device</translation>
    </message>
    <message>
        <source>計數器歸零</source>
        <translation>Reset counter</translation>
    </message>
    <message>
        <source>自動- 依頻寬現狀浮動調整</source>
        <translation>Automatic - follows the bandwidth</translation>
    </message>
    <message>
        <source>高- 畫質較差 頻寬消耗最少</source>
        <translation>High - lower quality, least bandwidth</translation>
    </message>
    <message>
        <source>中- 畫質適中 頻寬消耗適中</source>
        <translation>Medium - fair quality, medium bandwidth</translation>
    </message>
    <message>
        <source>低- 畫質最佳 頻寬消耗最大</source>
        <translation>Low - best quality, most bandwidth</translation>
    </message>
    <message>
        <source>關於Morlanex!</source>
        <translation>About Morlanex!</translation>
    </message>
    <message>
        <source>進階功能</source>
        <translation>Advanced</translation>
    </message>
    <message>
        <source>切換視訊壓縮比</source>
        <translation>Video compression</translation>
    </message>
    <message>
        <source>:/skin/placeholder.png</source>
        <translation>:/skin_en/placeholder.png</translation>
    </message>
    <message>
        <source>外部 </source>
        <translation>Outside </translation>
    </message>
</context>
<context>
    <name>MediaController</name>
    <message>
        <source>視訊裝置已中斷: %1</source>
        <translation>Video device lost: %1</translation>
    </message>
    <message>
        <source>音訊裝置已中斷: %1,改以靜音直播</source>
        <translation>Audio device lost: %1; broadcasting silence</translation>
    </message>
    <message>
        <source>直播編碼失敗</source>
        <translation>Live encoding failed</translation>
    </message>
</context>
<context>
    <name>PushText</name>
    <message>
        <source>經中繼推送：Windows Media 播放器無法連線</source>
        <translation>Pushed through the relay: Windows Media players cannot connect</translation>
    </message>
    <message>
        <source>已將瀏覽器版本推送到中繼伺服器（頻道 %1）：瀏覽器觀眾可經由中繼觀看。Windows Media 播放器必須直接連到本機，因此無法觀看此頻道。已推送 %2 段，因上傳頻寬不足略過 %3 段。</source>
        <translation>The browser rendition is pushed to the relay server (channel %1): browser viewers watch through the relay. Windows Media players must connect to this computer itself, so they cannot watch this channel. %2 segments pushed, %3 skipped for lack of upload bandwidth. </translation>
    </message>
    <message>
        <source>無法推送到中繼伺服器：%1。</source>
        <translation>Cannot push to the relay server: %1. </translation>
    </message>
</context>
<context>
    <name>ReachStatus</name>
    <message>
        <source>TCP %1、UDP %1</source>
        <translation>TCP %1, UDP %1</translation>
    </message>
    <message>
        <source>、%1</source>
        <translation>, %1</translation>
    </message>
    <message>
        <source>；</source>
        <translation>; </translation>
    </message>
    <message>
        <source>（未對應：%1）</source>
        <translation> (not mapped: %1)</translation>
    </message>
    <message>
        <source>請在路由器轉送 </source>
        <translation>Forward: </translation>
    </message>
    <message>
        <source>請在路由器上把下列連接埠轉送到本機：</source>
        <translation>Forward these ports on the router to this computer: </translation>
    </message>
    <message>
        <source>路由器以 %1 對應了連接埠，外部位址 %2：%3。</source>
        <translation>The router mapped the ports with %1, outside address %2: %3. </translation>
    </message>
    <message>
        <source>外部可連線 </source>
        <translation>Reachable at </translation>
    </message>
    <message>
        <source>（%1）</source>
        <translation> (%1)</translation>
    </message>
    <message>
        <source>目錄伺服器已從外部連入 %1。</source>
        <translation>The directory server got in from outside at %1. </translation>
    </message>
    <message>
        <source>不需要路由器對應連接埠。</source>
        <translation>No port mapping on the router was needed.</translation>
    </message>
    <message>
        <source>路由器的外部位址 %1 是私有或共用位址：本機位於第二層 NAT 之後（電信業者的 NAT，或路由器後面還有路由器），在這台路由器上對應連接埠也無法讓外部觀眾連入。外部觀眾只能經由中繼伺服器觀看。</source>
        <translation>The router's outside address %1 is private or shared: this computer is behind a second NAT (the carrier's NAT, or a router behind the router), so mapping ports on this router cannot let viewers outside in. Viewers outside can watch only through a relay server.</translation>
    </message>
    <message>
        <source>第二層 NAT：外部觀眾無法直接連線</source>
        <translation>Second NAT: outside viewers cannot connect</translation>
    </message>
    <message>
        <source>正在向路由器要求對應連接埠…</source>
        <translation>Asking the router to map the ports…</translation>
    </message>
    <message>
        <source>路由器給直播串流的外部連接埠是 %1，不是 %2；目錄伺服器只能告訴觀眾 %2，所以觀眾無法經由目錄連入。請在路由器上手動轉送 TCP %2。</source>
        <translation>The router gave the live stream outside port %1, not %2; the directory server can only tell viewers %2, so they cannot get in through the directory. Forward TCP %2 on the router by hand.</translation>
    </message>
    <message>
        <source>外部連接埠為 %1，目錄無法告知觀眾</source>
        <translation>Outside port %1: unknown to the directory</translation>
    </message>
    <message>
        <source>已對應 %1（%2），等待外部確認…</source>
        <translation>Mapped %1 (%2), checking…</translation>
    </message>
    <message>
        <source>已對應 %1（%2），目錄未確認</source>
        <translation>Mapped %1 (%2), unconfirmed</translation>
    </message>
    <message>
        <source>目錄伺服器無法回答外部連線檢查，無法確認外部觀眾能否連入。</source>
        <translation>The directory server could not check from outside, so whether viewers outside get in is not known.</translation>
    </message>
    <message>
        <source>已對應連接埠，但外部仍無法連入</source>
        <translation>Ports mapped, but outside still cannot get in</translation>
    </message>
    <message>
        <source>但目錄伺服器從外部連不到 %1（%2）。請檢查本機防火牆。</source>
        <translation>But the directory server cannot reach %1 from outside (%2). Check this computer's firewall.</translation>
    </message>
    <message>
        <source>自動對應連接埠已關閉（Morlanex.conf 的 PortMapping=off）。</source>
        <translation>Automatic port mapping is off (PortMapping=off in Morlanex.conf). </translation>
    </message>
    <message>
        <source>路由器沒有自動對應連接埠的服務（PCP、NAT-PMP、UPnP 都沒有回應）。</source>
        <translation>The router has no port mapping service (PCP, NAT-PMP and UPnP did not answer). </translation>
    </message>
    <message>
        <source>路由器拒絕對應連接埠：%1。</source>
        <translation>The router refused to map the ports: %1. </translation>
    </message>
    <message>
        <source>正在檢查外部連線…</source>
        <translation>Checking the connection from outside…</translation>
    </message>
    <message>
        <source>目錄伺服器無法回答外部連線檢查。</source>
        <translation>The directory server could not check from outside. </translation>
    </message>
    <message>
        <source>目錄伺服器從外部連不到 %1。</source>
        <translation>The directory server cannot reach %1 from outside. </translation>
    </message>
    <message>
        <source>、</source>
        <translation>, </translation>
    </message>
    <message>
        <source>%1：%2（%3）</source>
        <translation>%1: %2 (%3)</translation>
    </message>
    <message>
        <source>（TCP 是直播串流，UDP 是目錄伺服器與 WebRTC）。連接埠每次啟動可能不同：請在 Morlanex.conf 的 [Network] 以 StreamPort 與 WebRtcPort 固定它們。</source>
        <translation> (TCP is the live stream, UDP the directory server and WebRTC). The ports may change at each start: fix them with StreamPort and WebRtcPort in [Network] of Morlanex.conf.</translation>
    </message>
</context>
<context>
    <name>SettingsStore</name>
    <message>
        <source>無法儲存設定檔 %1
%2</source>
        <translation>Cannot save the settings file %1
%2</translation>
    </message>
</context>
<context>
    <name>SetupWizard</name>
    <message>
        <source>無法儲存這些字元: %1</source>
        <translation>These characters cannot be saved: %1</translation>
    </message>
    <message>
        <source>您未安裝任何視訊擷取裝置</source>
        <translation>No video capture device is installed</translation>
    </message>
    <message>
        <source>快速設定精靈</source>
        <translation>Quick setup wizard</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>重新選取設定模式</source>
        <translation>Choose mode again</translation>
    </message>
    <message>
        <source>■ 指定設定模式</source>
        <translation>■ Choose how to set up</translation>
    </message>
    <message>
        <source>啟用上一次設定</source>
        <translation>Use the last setup</translation>
    </message>
    <message>
        <source>依循上一次的視訊裝置設定來啟動</source>
        <translation>Start with the devices used last time</translation>
    </message>
    <message>
        <source>設定新視訊裝置</source>
        <translation>Set up new devices</translation>
    </message>
    <message>
        <source>設定新的視訊裝置來源</source>
        <translation>Choose a new video source</translation>
    </message>
    <message>
        <source>＊請先確定視訊裝置已安置在電腦上,如有電源請先開啟.</source>
        <translation>* Make sure the video device is connected to the computer and, if it has a power switch, turned on.</translation>
    </message>
    <message>
        <source>■ 選擇您的影像視訊來源裝置</source>
        <translation>■ Choose your video source</translation>
    </message>
    <message>
        <source>視訊驅動裝置</source>
        <translation>Video device</translation>
    </message>
    <message>
        <source>重新搜尋視訊裝置</source>
        <translation>Search again</translation>
    </message>
    <message>
        <source>下一步</source>
        <translation>Next</translation>
    </message>
    <message>
        <source>■ 選擇您的聲音輸入來源裝置</source>
        <translation>■ Choose your sound source</translation>
    </message>
    <message>
        <source>音源驅動裝置</source>
        <translation>Audio device</translation>
    </message>
    <message>
        <source>音源裝置</source>
        <translation>Input</translation>
    </message>
    <message>
        <source>■ 輸入您的視訊頻道名稱與頻道簡介</source>
        <translation>■ Enter your channel's name and description</translation>
    </message>
    <message>
        <source>頻道名稱</source>
        <translation>Channel</translation>
    </message>
    <message>
        <source>頻道簡介</source>
        <translation>Details</translation>
    </message>
    <message>
        <source>■ 設定搜尋此頻道的關鍵字</source>
        <translation>■ Keywords to find this channel by</translation>
    </message>
    <message>
        <source>例如: 自拍 景點 飯店 活動 現場實況</source>
        <translation>For example: selfie sights hotel event live</translation>
    </message>
    <message>
        <source>■ 設定影像壓縮比</source>
        <translation>■ Choose the video compression</translation>
    </message>
    <message>
        <source>變頻模式MBR</source>
        <translation>Multiple bit rates (MBR)</translation>
    </message>
    <message>
        <source>固定模式</source>
        <translation>Fixed</translation>
    </message>
    <message>
        <source>自動- 依頻寬現狀浮動調整(預設)</source>
        <translation>Automatic - follows the bandwidth (default)</translation>
    </message>
    <message>
        <source>高- 畫質較差 頻寬消耗最少</source>
        <translation>High - lower quality, least bandwidth</translation>
    </message>
    <message>
        <source>中- 畫質適中 頻寬消耗適中</source>
        <translation>Medium - fair quality, medium bandwidth</translation>
    </message>
    <message>
        <source>低- 畫質最佳 頻寬消耗最大</source>
        <translation>Low - best quality, most bandwidth</translation>
    </message>
    <message>
        <source>■ 設定完成: 按下[完成] 後將自動進入[視訊預覽模式].</source>
        <translation>■ All set: [Finish] starts the [video preview].</translation>
    </message>
    <message>
        <source>■ 稍後您將可按下</source>
        <translation>■ Then press</translation>
    </message>
    <message>
        <source>來啟動視訊現場直播.</source>
        <translation>to go live.</translation>
    </message>
    <message>
        <source>■ 透過Zanvu,即可在網路上搜尋到您的頻道.</source>
        <translation>■ Through Zanvu, people can find your channel on the Internet.</translation>
    </message>
    <message>
        <source>Zanvu官方網址</source>
        <translation>Zanvu website</translation>
    </message>
    <message>
        <source>完成</source>
        <translation>Finish</translation>
    </message>
    <message>
        <source>:/skin/wizard_strip.png</source>
        <translation>:/skin_en/wizard_strip.png</translation>
    </message>
</context>
<context>
    <name>StartHint</name>
    <message>
        <source>按此開始</source>
        <translation>Start here</translation>
    </message>
</context>
</TS>
