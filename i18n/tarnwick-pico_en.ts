<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="ja">
<context>
    <name>AboutBox</name>
    <message>
        <source>ターンウィック Pico. </source>
        <translation>Tarnwick Pico </translation>
    </message>
</context>
<context>
    <name>DebugConsole</name>
    <message>
        <source>コピー</source>
        <translation>Copy</translation>
    </message>
    <message>
        <source>すべて選択</source>
        <translation>Select all</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>%1 の設定を削除しますか?</source>
        <translation>Delete the settings of %1?</translation>
    </message>
    <message>
        <source>ターンウィック Pico.</source>
        <translation>Tarnwick Pico</translation>
    </message>
</context>
<context>
    <name>OptionsDialog</name>
    <message>
        <source>すべてのアドレス</source>
        <translation>All addresses</translation>
    </message>
    <message>
        <source>全員</source>
        <translation>Everyone</translation>
    </message>
    <message>
        <source>このPCのみ (127.0.0.1, ::1)</source>
        <translation>This computer only (127.0.0.1, ::1)</translation>
    </message>
    <message>
        <source>ローカルネットワークのみ</source>
        <translation>Local networks only</translation>
    </message>
    <message>
        <source>許可リストと拒否リストで決める</source>
        <translation>By the allow and deny lists</translation>
    </message>
    <message>
        <source>この転送の名前です。パネルと接続状況の見出しに表示されます (64文字まで)</source>
        <translation>The name of this forward, shown in its panel and in the title of its connections (up to 64 characters).</translation>
    </message>
    <message>
        <source>TCPは接続を、UDPはデータグラムを送信元ごとに中継します。UDPの中継は無通信で切断の秒数 (0なら60秒) で終わります</source>
        <translation>TCP relays connections; UDP relays datagrams for each sender. A UDP relay ends after the idle timeout (60 seconds when 0).</translation>
    </message>
    <message>
        <source>接続を待ち受けるこのPCのアドレスです。「すべてのアドレス」ならどのアドレスでも受け付けます</source>
        <translation>The address of this computer to listen on. &quot;All addresses&quot; accepts connections on any of them.</translation>
    </message>
    <message>
        <source>接続してよい相手を選びます。ほかの相手の接続はすぐに閉じられます</source>
        <translation>Who may connect. Connections from anyone else are closed at once.</translation>
    </message>
    <message>
        <source>接続を許可するアドレスをカンマ区切りで書きます (例: 192.168.1.0/24, 10.0.0.5, fd00::/8)。10件まで</source>
        <translation>Addresses allowed to connect, separated by commas (for example 192.168.1.0/24, 10.0.0.5, fd00::/8). Up to 10.</translation>
    </message>
    <message>
        <source>拒否するアドレスをカンマ区切りで書きます。許可リストに当てはまっても拒否します</source>
        <translation>Addresses to refuse, separated by commas. They are refused even when the allow list matches them.</translation>
    </message>
    <message>
        <source>転送先への接続を待つ秒数です。0ならシステムに任せます (86400まで)</source>
        <translation>Seconds to wait for the connection to the destination; 0 leaves it to the system (up to 86400).</translation>
    </message>
    <message>
        <source>どちらの向きにも通信がないまま、この秒数が過ぎた接続を切断します。0なら切断しません (86400まで)</source>
        <translation>Closes a connection after this many seconds without traffic in either direction; 0 never closes it (up to 86400).</translation>
    </message>
    <message>
        <source>中継バッファ1つの大きさです (1〜65536 KiB)</source>
        <translation>The size of each relay buffer (1 to 65536 KiB).</translation>
    </message>
    <message>
        <source>片側が送信を終えたら、その終わりだけを相手に伝え、逆向きの通信は続けます</source>
        <translation>When one side stops sending, only that end is passed on; the other direction stays open.</translation>
    </message>
    <message>
        <source>接続の両側でTCPキープアライブを使い、応答しなくなった相手を見つけます</source>
        <translation>Uses TCP keep-alive on both sides of a connection to find peers that stopped answering.</translation>
    </message>
    <message>
        <source>接続ごとの記録を設定ファイルと同じフォルダのTarnwickPico.logに書きます</source>
        <translation>Writes a record of each connection to TarnwickPico.log, in the folder of the settings file.</translation>
    </message>
    <message>
        <source>%1「%2」は無効な設定です%3</source>
        <translation>%1 &quot;%2&quot; is not valid%3</translation>
    </message>
    <message>
        <source> (%1〜%2)</source>
        <translation> (%1 to %2)</translation>
    </message>
    <message>
        <source> (10件まで)</source>
        <translation> (at most 10)</translation>
    </message>
    <message>
        <source>名前</source>
        <translation>Name</translation>
    </message>
    <message>
        <source> (64文字まで)</source>
        <translation> (at most 64 characters)</translation>
    </message>
    <message>
        <source>待受アドレス</source>
        <translation>Listen address</translation>
    </message>
    <message>
        <source>許可リスト</source>
        <translation>Allow list</translation>
    </message>
    <message>
        <source>拒否リスト</source>
        <translation>Deny list</translation>
    </message>
    <message>
        <source>接続タイムアウト</source>
        <translation>Connect timeout</translation>
    </message>
    <message>
        <source>無通信で切断</source>
        <translation>Idle timeout</translation>
    </message>
    <message>
        <source>バッファサイズ</source>
        <translation>Buffer size</translation>
    </message>
    <message>
        <source>先頭から順に試す</source>
        <translation>In order (failover)</translation>
    </message>
    <message>
        <source>接続ごとに順番に振り分ける</source>
        <translation>In turn (round robin)</translation>
    </message>
    <message>
        <source>使わない</source>
        <translation>Off</translation>
    </message>
    <message>
        <source>バージョン1 (テキスト)</source>
        <translation>Version 1 (text)</translation>
    </message>
    <message>
        <source>バージョン2 (バイナリ)</source>
        <translation>Version 2 (binary)</translation>
    </message>
    <message>
        <source>転送先ホストの次に試す転送先を「ホスト:ポート」のカンマ区切りで書きます (例: 192.168.1.20:80, [2001:db8::1]:80)。転送先ホストと合わせて8件まで</source>
        <translation>Destinations to try after the destination host, as host:port separated by commas (e.g. 192.168.1.20:80, [2001:db8::1]:80); up to 8 together with the destination host</translation>
    </message>
    <message>
        <source>接続できない転送先は飛ばして次を試します。振り分けると新しい接続ごとに次の転送先から始めます。失敗した転送先は10秒間あと回しにします</source>
        <translation>A destination that cannot be reached is skipped for the next. In turn, each new connection starts at the next destination. A destination that failed goes last for 10 seconds</translation>
    </message>
    <message>
        <source>転送先に接続元のアドレスとポートをPROXYプロトコルのヘッダーで伝えます (TCPのみ)</source>
        <translation>Tells the destination the client&apos;s address and port in a PROXY protocol header (TCP only)</translation>
    </message>
    <message>
        <source>ほかの転送先</source>
        <translation>More destinations</translation>
    </message>
    <message>
        <source> (ホスト:ポート、IPv6は [アドレス]:ポート)</source>
        <translation> (host:port; IPv6 as [address]:port)</translation>
    </message>
    <message>
        <source> (転送先ホストと合わせて8件まで)</source>
        <translation> (up to 8 together with the destination host)</translation>
    </message>
</context>
<context>
    <name>PortPanel</name>
    <message>
        <source>Listenポートが無効な設定です</source>
        <translation>The listen port is not set.</translation>
    </message>
    <message>
        <source>転送先ポート番号が無効な設定です</source>
        <translation>The destination port is not set.</translation>
    </message>
    <message>
        <source>PORT%1を開けません (err=%2)</source>
        <translation>Cannot open port %1 (error %2).</translation>
    </message>
    <message>
        <source>PORTを使用中です。OFF状態で設定して下さい</source>
        <translation>The port is in use. Switch it OFF to change its settings.</translation>
    </message>
    <message>
        <source>現在PORTの設定中です</source>
        <translation>The settings of a port are open already.</translation>
    </message>
    <message>
        <source>現在接続はありません.</source>
        <translation>There are no connections.</translation>
    </message>
</context>
<context>
    <name>Program</name>
    <message>
        <source>     既に起動されています.     </source>
        <translation>Tarnwick Pico is running already.</translation>
    </message>
    <message>
        <source>２重起動</source>
        <translation>Already running</translation>
    </message>
</context>
<context>
    <name>Resources</name>
    <message>
        <source>Tarnwickのﾊﾞｰｼﾞｮﾝ情報</source>
        <translation>About Tarnwick</translation>
    </message>
    <message>
        <source>&lt;a&gt;Mistrelsoftホームページ&lt;/a&gt;</source>
        <translation>&lt;a&gt;Mistrelsoft home page&lt;/a&gt;</translation>
    </message>
    <message>
        <source>ターンウィック（β）</source>
        <translation>Tarnwick (beta)</translation>
    </message>
    <message>
        <source>TCP ：65535</source>
        <translation>TCP: 65535</translation>
    </message>
    <message>
        <source>設定</source>
        <translation>Edit</translation>
    </message>
    <message>
        <source>確認</source>
        <translation>List</translation>
    </message>
    <message>
        <source>接続数</source>
        <translation>Active</translation>
    </message>
    <message>
        <source>転送先</source>
        <translation>Destination</translation>
    </message>
    <message>
        <source>Ip/Host</source>
        <translation>Host</translation>
    </message>
    <message>
        <source>Port No.</source>
        <translation>Port</translation>
    </message>
    <message>
        <source>TARNWICK設定</source>
        <translation>Tarnwick Settings</translation>
    </message>
    <message>
        <source>フォワード設定</source>
        <translation>Forward</translation>
    </message>
    <message>
        <source>詳細設定...</source>
        <translation>Advanced...</translation>
    </message>
    <message>
        <source>ｷｬﾝｾﾙ</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>TARNWICK詳細設定</source>
        <translation>Tarnwick Advanced Settings</translation>
    </message>
    <message>
        <source>名前</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>プロトコル</source>
        <translation>Protocol</translation>
    </message>
    <message>
        <source>待受アドレス</source>
        <translation>Listen address</translation>
    </message>
    <message>
        <source>接続できる相手</source>
        <translation>Who may connect</translation>
    </message>
    <message>
        <source>許可リスト</source>
        <translation>Allow list</translation>
    </message>
    <message>
        <source>拒否リスト</source>
        <translation>Deny list</translation>
    </message>
    <message>
        <source>接続タイムアウト</source>
        <translation>Connect timeout</translation>
    </message>
    <message>
        <source>秒 (0 = なし)</source>
        <translation>seconds (0 = none)</translation>
    </message>
    <message>
        <source>無通信で切断</source>
        <translation>Idle timeout</translation>
    </message>
    <message>
        <source>秒 (0 = しない)</source>
        <translation>seconds (0 = never)</translation>
    </message>
    <message>
        <source>バッファサイズ</source>
        <translation>Buffer size</translation>
    </message>
    <message>
        <source>ハーフクローズ</source>
        <translation>Half-close</translation>
    </message>
    <message>
        <source>キープアライブ</source>
        <translation>Keep-alive</translation>
    </message>
    <message>
        <source>接続ログ</source>
        <translation>Connection log</translation>
    </message>
    <message>
        <source>接続状況</source>
        <translation>Connections</translation>
    </message>
    <message>
        <source>閉じる</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>切断</source>
        <translation>Disconnect</translation>
    </message>
    <message>
        <source>ターンウィック Pico のﾊﾞｰｼﾞｮﾝ情報</source>
        <translation>About Tarnwick Pico</translation>
    </message>
    <message>
        <source>Windows ｿｹｯﾄの初期化に失敗しました。</source>
        <translation>The network sockets could not be started.</translation>
    </message>
    <message>
        <source>メインウィンドウを開く</source>
        <translation>Open main window</translation>
    </message>
    <message>
        <source>終了</source>
        <translation>Quit</translation>
    </message>
    <message>
        <source>ほかの転送先</source>
        <translation>More destinations</translation>
    </message>
    <message>
        <source>転送先の選び方</source>
        <translation>Balance</translation>
    </message>
    <message>
        <source>PROXYプロトコル</source>
        <translation>PROXY protocol</translation>
    </message>
</context>
<context>
    <name>SettingDialog</name>
    <message>
        <source>localhost(同じPC内)への転送に変更しますか？</source>
        <translation>Forward to localhost (this computer) instead?</translation>
    </message>
</context>
<context>
    <name>StatusDialog</name>
    <message>
        <source>AcceptPeer</source>
        <translation>Client</translation>
    </message>
    <message>
        <source>Port</source>
        <translation>Port</translation>
    </message>
    <message>
        <source>BindIp</source>
        <translation>Local IP</translation>
    </message>
    <message>
        <source>UsedBuff</source>
        <translation>Buffered</translation>
    </message>
    <message>
        <source>ConnectPeer</source>
        <translation>Destination</translation>
    </message>
    <message>
        <source>Up</source>
        <translation>Up</translation>
    </message>
    <message>
        <source>Down</source>
        <translation>Down</translation>
    </message>
    <message>
        <source>Up/s</source>
        <translation>Up/s</translation>
    </message>
    <message>
        <source>Down/s</source>
        <translation>Down/s</translation>
    </message>
    <message>
        <source>Time</source>
        <translation>Time</translation>
    </message>
    <message>
        <source>1分</source>
        <translation>1 min</translation>
    </message>
    <message>
        <source>5分</source>
        <translation>5 min</translation>
    </message>
    <message>
        <source>30分</source>
        <translation>30 min</translation>
    </message>
    <message>
        <source>グラフの期間</source>
        <translation>Time shown in the graph</translation>
    </message>
    <message>
        <source>合計 上り %1  下り %2  セッション %3 (最大同時 %4)</source>
        <translation>Total up %1  down %2  sessions %3 (most at once %4)</translation>
    </message>
    <message>
        <source>合計 上り %1  下り %2  接続 %3 (最大同時 %4)</source>
        <translation>Total up %1  down %2  connections %3 (most at once %4)</translation>
    </message>
</context>
<context>
    <name>TrafficGraph</name>
    <message>
        <source>%1分前</source>
        <translation>%1 min ago</translation>
    </message>
    <message>
        <source>現在 </source>
        <translation>Now </translation>
    </message>
    <message>
        <source>最大 </source>
        <translation>Peak </translation>
    </message>
    <message>
        <source>上り（→転送先）</source>
        <translation>Up (to destination)</translation>
    </message>
    <message>
        <source>現在</source>
        <translation>Now</translation>
    </message>
    <message>
        <source>下り（←転送先）</source>
        <translation>Down (from destination)</translation>
    </message>
</context>
<context>
    <name>Tray</name>
    <message>
        <source>ウィンドウを閉じても通知領域で動作を続けます。</source>
        <translation>Closing the window keeps every forward running in the notification area.</translation>
    </message>
    <message>
        <source>接続数 </source>
        <translation>Connections: </translation>
    </message>
</context>
<context>
    <name>WindowMenu</name>
    <message>
        <source>このポートを削除</source>
        <translation>Remove this port</translation>
    </message>
    <message>
        <source>ポートを追加</source>
        <translation>Add port</translation>
    </message>
    <message>
        <source>通知領域に常駐</source>
        <translation>Keep in notification area</translation>
    </message>
    <message>
        <source>ログイン時に起動</source>
        <translation>Start at login</translation>
    </message>
    <message>
        <source>次回の起動から切り替わります。チェックすると英語、外すと日本語で表示します</source>
        <translation>Takes effect at the next start: checked shows English, unchecked Japanese.</translation>
    </message>
</context>
</TS>
