// Loopback host for the test site: System.Net.HttpListener in front of the
// ASP.NET runtime of System.Web, one process, no TLS.
//
//   mono SiteHost.exe --app APPDIR --data DATADIR [--port N] [--port-file FILE]
//
// APPDIR must contain bin/SiteHost.exe (ApplicationHost loads this assembly
// into the application's domain from there).  With --port 0 (the default) a
// free loopback port is chosen; the port is printed and written to FILE.

using System;
using System.Collections.Generic;
using System.Globalization;
using System.IO;
using System.Net;
using System.Net.Sockets;
using System.Text;
using System.Threading;
using System.Web;
using System.Web.Hosting;

namespace TestSite
{
    public static class Program
    {
        public static int Main (string [] args)
        {
            string app = null, data = null, portFile = null;
            int port = 0;
            for (int i = 0; i + 1 < args.Length; i += 2) {
                switch (args [i]) {
                case "--app": app = args [i + 1]; break;
                case "--data": data = args [i + 1]; break;
                case "--port": port = int.Parse (args [i + 1], CultureInfo.InvariantCulture); break;
                case "--port-file": portFile = args [i + 1]; break;
                default: return Usage ();
                }
            }
            if (app == null || data == null || args.Length % 2 != 0)
                return Usage ();
            app = Path.GetFullPath (app);
            data = Path.GetFullPath (data);
            Directory.CreateDirectory (data);

            AppHost host = null;
            bool announced = false;
            while (true) {
                if (host == null || !Alive (host)) {
                    if (host != null)
                        Log ("application domain gone, starting a new one on port " + port);
                    try {
                        host = (AppHost) ApplicationHost.CreateApplicationHost (typeof (AppHost), "/", app);
                        // Once chosen, the port stays: the client keeps its base URL.
                        port = host.Start (port, app, data);
                    } catch (Exception e) {
                        Log ("cannot start: " + e);
                        return 2;
                    }
                    if (!announced) {
                        announced = true;
                        if (portFile != null) {
                            string tmp = portFile + ".tmp";
                            File.WriteAllText (tmp, port.ToString (CultureInfo.InvariantCulture) + "\n");
                            File.Copy (tmp, portFile, true);
                            File.Delete (tmp);
                        }
                        Log ("listening on http://127.0.0.1:" + port + "/ app " + app + " data " + data);
                    }
                }
                Thread.Sleep (500);
            }
        }

        // ASP.NET may unload its domain (recompilation limit, config change);
        // the listener lives in that domain and goes with it.
        static bool Alive (AppHost host)
        {
            try {
                return host.Ping ();
            } catch (AppDomainUnloadedException) {
                return false;
            } catch (System.Runtime.Remoting.RemotingException) {
                return false;
            }
        }

        static int Usage ()
        {
            Console.Error.WriteLine ("usage: SiteHost.exe --app APPDIR --data DATADIR [--port N] [--port-file FILE]");
            return 64;
        }

        internal static void Log (string msg)
        {
            Console.Error.WriteLine (DateTime.Now.ToString ("HH:mm:ss.fff", CultureInfo.InvariantCulture) + " " + msg);
        }
    }

    // Lives in the application's domain: listens there and hands each request
    // to HttpRuntime, so nothing about a request crosses domains.
    public sealed class AppHost : MarshalByRefObject
    {
        HttpListener listener;
        string appDir;

        public override object InitializeLifetimeService ()
        {
            return null; // never let the remoting lease expire under the watchdog
        }

        public bool Ping ()
        {
            return listener != null && listener.IsListening;
        }

        public int Start (int port, string app, string data)
        {
            appDir = app.EndsWith ("/") ? app : app + "/";
            AppDomain.CurrentDomain.SetData ("site.datadir", data);
            Exception last = null;
            for (int attempt = 0; attempt < 30; attempt++) {
                int p = port != 0 ? port : FreePort ();
                var l = new HttpListener ();
                l.Prefixes.Add ("http://127.0.0.1:" + p.ToString (CultureInfo.InvariantCulture) + "/");
                l.IgnoreWriteExceptions = true;
                try {
                    l.Start ();
                } catch (Exception e) {
                    last = e;
                    try { l.Close (); } catch (Exception) { }
                    if (port != 0)
                        break;
                    continue; // someone took the free port between probe and bind
                }
                listener = l;
                var t = new Thread (AcceptLoop);
                t.IsBackground = true;
                t.Start ();
                return p;
            }
            throw new InvalidOperationException ("no port to listen on", last);
        }

        static int FreePort ()
        {
            var probe = new TcpListener (IPAddress.Loopback, 0);
            probe.Start ();
            int p = ((IPEndPoint) probe.LocalEndpoint).Port;
            probe.Stop ();
            return p;
        }

        void AcceptLoop ()
        {
            while (listener.IsListening) {
                HttpListenerContext ctx;
                try {
                    ctx = listener.GetContext ();
                } catch (Exception e) {
                    if (!listener.IsListening)
                        return;
                    Program.Log ("accept: " + e.Message);
                    Thread.Sleep (50);
                    continue;
                }
                ThreadPool.QueueUserWorkItem (Serve, ctx);
            }
        }

        void Serve (object state)
        {
            var ctx = (HttpListenerContext) state;
            try {
                string path = Uri.UnescapeDataString (ctx.Request.Url.AbsolutePath);
                string query = ctx.Request.Url.Query;
                if (query.StartsWith ("?"))
                    query = query.Substring (1);
                string physical = ListenerWorkerRequest.Physical (appDir, path);
                if (physical == null || IsPrivate (path)) {
                    Plain (ctx, 404, "Not Found");
                    return;
                }
                // The default document is the host's business, not System.Web's.
                if (Directory.Exists (physical)) {
                    if (!path.EndsWith ("/")) {
                        ctx.Response.StatusCode = 301;
                        ctx.Response.RedirectLocation = path + "/" + (query.Length > 0 ? "?" + query : "");
                        ctx.Response.ContentLength64 = 0;
                        ctx.Response.Close ();
                        return;
                    }
                    if (!File.Exists (Path.Combine (physical, "Default.aspx"))) {
                        Plain (ctx, 403, "Forbidden");
                        return;
                    }
                    path += "Default.aspx";
                }
                HttpRuntime.ProcessRequest (new ListenerWorkerRequest (ctx, appDir, path, query));
            } catch (Exception e) {
                Program.Log ("serve: " + e);
                try { Plain (ctx, 500, "Internal Server Error"); } catch (Exception) { }
            }
        }

        // Build output and sources must not be served as static files.
        static bool IsPrivate (string path)
        {
            string p = path.ToLowerInvariant ();
            foreach (string dir in new [] { "/bin/", "/app_code/", "/app_data/" })
                if (p.StartsWith (dir) || p + "/" == dir)
                    return true;
            return p.EndsWith (".cs") || p.EndsWith (".config");
        }

        static void Plain (HttpListenerContext ctx, int status, string text)
        {
            byte [] body = Encoding.ASCII.GetBytes (text + "\n");
            ctx.Response.StatusCode = status;
            ctx.Response.ContentType = "text/plain";
            ctx.Response.ContentLength64 = body.Length;
            ctx.Response.OutputStream.Write (body, 0, body.Length);
            ctx.Response.Close ();
        }
    }

    sealed class ListenerWorkerRequest : HttpWorkerRequest
    {
        readonly HttpListenerRequest req;
        readonly HttpListenerResponse resp;
        readonly string appDir, path, query;
        readonly long bodyLength;
        readonly Stream body;
        long bodyRead;

        int status = 200;
        string statusText = "OK";
        readonly List<KeyValuePair<string, string>> headers = new List<KeyValuePair<string, string>> ();
        bool headersSent, ended;
        EndOfSendNotification endSend;
        object endSendData;

        public ListenerWorkerRequest (HttpListenerContext ctx, string appDir, string path, string query)
        {
            req = ctx.Request;
            resp = ctx.Response;
            this.appDir = appDir;
            this.path = path;
            this.query = query;
            bodyLength = req.HasEntityBody ? req.ContentLength64 : 0;
            body = req.HasEntityBody ? req.InputStream : Stream.Null;
        }

        internal static string Physical (string appDir, string virtualPath)
        {
            string rel = virtualPath.TrimStart ('/');
            string full = Path.GetFullPath (Path.Combine (appDir, rel));
            string root = appDir.TrimEnd ('/');
            if (full != root && !full.StartsWith (root + "/"))
                return null; // outside the application
            return full;
        }

        // --- request line -------------------------------------------------
        public override string GetHttpVerbName () { return req.HttpMethod; }
        // System.Web frames chunked bodies itself when told HTTP/1.1; the
        // listener already does that, so the runtime is told 1.0 and the
        // listener chooses Content-Length or chunked for the client.
        public override string GetHttpVersion () { return "HTTP/1.0"; }
        public override string GetProtocol () { return "http"; }
        public override bool IsSecure () { return false; }
        public override string GetUriPath () { return path; }
        public override string GetFilePath () { return path; }
        public override string GetPathInfo () { return ""; }
        public override string GetRawUrl () { return req.RawUrl; }
        public override string GetQueryString () { return query; }
        public override byte [] GetQueryStringRawBytes () { return Encoding.UTF8.GetBytes (query); }
        public override string GetAppPath () { return "/"; }
        public override string GetAppPathTranslated () { return appDir; }
        public override string GetFilePathTranslated () { return MapPath (path); }

        public override string MapPath (string virtualPath)
        {
            if (string.IsNullOrEmpty (virtualPath) || virtualPath == "/")
                return appDir;
            return Physical (appDir, virtualPath) ?? appDir;
        }

        // --- connection ---------------------------------------------------
        public override string GetLocalAddress () { return req.LocalEndPoint.Address.ToString (); }
        public override int GetLocalPort () { return req.LocalEndPoint.Port; }
        public override string GetRemoteAddress () { return req.RemoteEndPoint.Address.ToString (); }
        public override int GetRemotePort () { return req.RemoteEndPoint.Port; }
        public override string GetRemoteName () { return GetRemoteAddress (); }
        public override string GetServerName () { return req.Url.Host; }
        public override bool IsClientConnected () { return !ended; }

        public override string GetServerVariable (string name)
        {
            switch (name) {
            case "SERVER_SOFTWARE": return "TestSiteHost/1.0";
            case "SERVER_PROTOCOL": return GetHttpVersion ();
            case "HTTPS": return "off";
            case "HTTP_HOST": return req.Headers ["Host"] ?? "";
            case "REQUEST_METHOD": return req.HttpMethod;
            case "SERVER_NAME": return GetServerName ();
            case "SERVER_PORT": return GetLocalPort ().ToString (CultureInfo.InvariantCulture);
            case "REMOTE_ADDR": return GetRemoteAddress ();
            case "REMOTE_HOST": return GetRemoteAddress ();
            case "REMOTE_PORT": return GetRemotePort ().ToString (CultureInfo.InvariantCulture);
            }
            return null;
        }

        // --- request headers ----------------------------------------------
        public override string GetKnownRequestHeader (int index)
        {
            return req.Headers [GetKnownRequestHeaderName (index)];
        }

        public override string GetUnknownRequestHeader (string name)
        {
            return req.Headers [name];
        }

        public override string [] [] GetUnknownRequestHeaders ()
        {
            var list = new List<string []> ();
            foreach (string name in req.Headers.AllKeys)
                if (GetKnownRequestHeaderIndex (name) < 0)
                    list.Add (new [] { name, req.Headers [name] });
            return list.ToArray ();
        }

        // --- request body: streamed, never preloaded, so System.Web can
        // spool a large upload to disk as it reads it.
        public override byte [] GetPreloadedEntityBody () { return null; }
        public override int GetPreloadedEntityBodyLength () { return 0; }
        public override bool IsEntireEntityBodyIsPreloaded () { return bodyLength == 0; }
        public override int GetTotalEntityBodyLength () { return (int) Math.Min (bodyLength, int.MaxValue); }

        public override int ReadEntityBody (byte [] buffer, int size)
        {
            return ReadEntityBody (buffer, 0, size);
        }

        public override int ReadEntityBody (byte [] buffer, int offset, int size)
        {
            if (size <= 0)
                return 0;
            int n = body.Read (buffer, offset, size);
            if (n > 0)
                bodyRead += n;
            return n;
        }

        // --- response -----------------------------------------------------
        public override void SendStatus (int statusCode, string statusDescription)
        {
            status = statusCode;
            statusText = statusDescription;
        }

        public override void SendKnownResponseHeader (int index, string value)
        {
            SendUnknownResponseHeader (GetKnownResponseHeaderName (index), value);
        }

        public override void SendUnknownResponseHeader (string name, string value)
        {
            if (!headersSent)
                headers.Add (new KeyValuePair<string, string> (name, value));
        }

        public override bool HeadersSent () { return headersSent; }

        void SendHeaders ()
        {
            if (headersSent)
                return;
            headersSent = true;
            // A body the application left unread must not be taken for the
            // next request on a kept-alive connection.
            if (bodyRead < bodyLength)
                resp.KeepAlive = false;
            resp.StatusCode = status;
            if (!string.IsNullOrEmpty (statusText))
                resp.StatusDescription = statusText;
            foreach (var h in headers) {
                switch (h.Key.ToLowerInvariant ()) {
                case "content-length":
                    resp.ContentLength64 = long.Parse (h.Value, CultureInfo.InvariantCulture);
                    break;
                case "content-type":
                    resp.ContentType = h.Value;
                    break;
                case "location":
                    resp.RedirectLocation = h.Value;
                    break;
                case "transfer-encoding":
                    // The listener frames the body itself when no length is known.
                    break;
                case "connection":
                    if (h.Value.Equals ("close", StringComparison.OrdinalIgnoreCase))
                        resp.KeepAlive = false;
                    break;
                case "keep-alive":
                    break;
                default:
                    // AppendHeader keeps each Set-Cookie as a header line of its own.
                    resp.AppendHeader (h.Key, h.Value);
                    break;
                }
            }
        }

        public override void SendCalculatedContentLength (int contentLength)
        {
            SendCalculatedContentLength ((long) contentLength);
        }

        public override void SendCalculatedContentLength (long contentLength)
        {
            if (!headersSent)
                headers.Add (new KeyValuePair<string, string> ("Content-Length", contentLength.ToString (CultureInfo.InvariantCulture)));
        }

        public override void SendResponseFromMemory (byte [] data, int length)
        {
            SendHeaders ();
            if (length > 0 && req.HttpMethod != "HEAD")
                resp.OutputStream.Write (data, 0, length);
        }

        public override void SendResponseFromMemory (IntPtr data, int length)
        {
            if (length <= 0)
                return;
            byte [] copy = new byte [length];
            System.Runtime.InteropServices.Marshal.Copy (data, copy, 0, length);
            SendResponseFromMemory (copy, length);
        }

        public override void SendResponseFromFile (string filename, long offset, long length)
        {
            using (var fs = new FileStream (filename, FileMode.Open, FileAccess.Read, FileShare.ReadWrite))
                SendFromStream (fs, offset, length);
        }

        public override void SendResponseFromFile (IntPtr handle, long offset, long length)
        {
            using (var fs = new FileStream (new Microsoft.Win32.SafeHandles.SafeFileHandle (handle, false), FileAccess.Read))
                SendFromStream (fs, offset, length);
        }

        void SendFromStream (Stream s, long offset, long length)
        {
            SendHeaders ();
            if (length <= 0 || req.HttpMethod == "HEAD")
                return;
            s.Seek (offset, SeekOrigin.Begin);
            byte [] buf = new byte [64 * 1024];
            while (length > 0) {
                int n = s.Read (buf, 0, (int) Math.Min (buf.Length, length));
                if (n <= 0)
                    break;
                resp.OutputStream.Write (buf, 0, n);
                length -= n;
            }
        }

        public override void FlushResponse (bool finalFlush)
        {
            SendHeaders ();
            if (!finalFlush)
                resp.OutputStream.Flush ();
        }

        // System.Web closes after its own error pages, when headers are out.
        public override void CloseConnection ()
        {
            if (!headersSent)
                resp.KeepAlive = false;
        }

        public override void SetEndOfSendNotification (EndOfSendNotification callback, object extraData)
        {
            endSend = callback;
            endSendData = extraData;
        }

        public override void EndOfRequest ()
        {
            if (ended)
                return;
            ended = true;
            try {
                SendHeaders ();
                resp.Close ();
            } catch (Exception e) {
                Program.Log ("end of request: " + e.Message);
                try { resp.Abort (); } catch (Exception) { }
            }
            if (endSend != null)
                endSend (this, endSendData);
        }
    }
}
