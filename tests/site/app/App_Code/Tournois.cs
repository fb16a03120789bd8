using System;
using System.Globalization;
using System.IO;
using System.Security.Cryptography;
using System.Text;
using System.Text.RegularExpressions;
using System.Web;

// What the site knows about tournaments lives in plain files of the data
// directory, so that tests can prepare and inspect it from outside.
public static class Tournois
{
    static readonly object fileLock = new object ();
    static readonly Regex SafeLogin = new Regex (@"^[A-Za-z0-9_.\-]{1,64}$");
    static readonly UTF8Encoding Utf8 = new UTF8Encoding (false);

    public static string DataDir {
        get {
            string d = AppDomain.CurrentDomain.GetData ("site.datadir") as string;
            if (string.IsNullOrEmpty (d))
                throw new InvalidOperationException ("data directory not set by the host");
            return d;
        }
    }

    static string PathOf (string login, string ext)
    {
        if (!IsSafe (login))
            throw new ArgumentException ("unsafe login");
        return Path.Combine (DataDir, login + ext);
    }

    public static bool IsSafe (string login)
    {
        return login != null && SafeLogin.IsMatch (login);
    }

    // accounts.txt: "login;password;visible" per line.  Read on every login
    // so that accounts may be added while the site runs.
    public static bool CheckLogin (string login, string password)
    {
        if (!IsSafe (login) || password == null)
            return false;
        string file = Path.Combine (DataDir, "accounts.txt");
        if (!File.Exists (file))
            return false;
        foreach (string raw in File.ReadAllLines (file, Utf8)) {
            string line = raw.TrimEnd ('\r');
            if (line.Length == 0 || line [0] == '#')
                continue;
            int first = line.IndexOf (';');
            if (first < 0)
                continue;
            int last = line.LastIndexOf (';');
            string name = line.Substring (0, first);
            string pass, visible;
            if (last == first) {
                pass = line.Substring (first + 1);
                visible = "1";
            } else {
                // the password is everything between the first and last ';'
                pass = line.Substring (first + 1, last - first - 1);
                visible = line.Substring (last + 1).Trim ();
            }
            if (name != login || !SameSecret (pass, password))
                continue;
            lock (fileLock) {
                if (!File.Exists (PathOf (login, ".visible")))
                    WriteAtomic (PathOf (login, ".visible"), Utf8.GetBytes (visible == "0" ? "0" : "1"));
            }
            return true;
        }
        return false;
    }

    static bool SameSecret (string a, string b)
    {
        byte [] x = Utf8.GetBytes (a), y = Utf8.GetBytes (b);
        int diff = x.Length ^ y.Length;
        for (int i = 0; i < x.Length && i < y.Length; i++)
            diff |= x [i] ^ y [i];
        return diff == 0;
    }

    public static bool IsVisible (string login)
    {
        string f = PathOf (login, ".visible");
        lock (fileLock)
            return !File.Exists (f) || File.ReadAllText (f, Utf8).Trim () != "0";
    }

    public static bool Toggle (string login)
    {
        lock (fileLock) {
            bool now = !IsVisible (login);
            WriteAtomic (PathOf (login, ".visible"), Utf8.GetBytes (now ? "1" : "0"));
            return now;
        }
    }

    // The upload is saved beside its final name and renamed, so a reader
    // never sees half a file. `ext` is ".papi" (name in ".name") or ".ri",
    // the rules (name in ".ri-name").
    public static long SaveUpload (string login, HttpPostedFile file, string ext)
    {
        string target = PathOf (login, ext);
        string tmp = target + ".part";
        file.SaveAs (tmp);
        long size = new FileInfo (tmp).Length;
        lock (fileLock) {
            Replace (tmp, target);
            WriteAtomic (PathOf (login, ext == ".papi" ? ".name" : ext + "-name"), Utf8.GetBytes (file.FileName ?? ""));
        }
        return size;
    }

    public enum Stage { Open, Closed, Archived }

    // <login>.stage: "closed" or "archived", set by the tests; open otherwise.
    public static Stage StageOf (string login)
    {
        string f = PathOf (login, ".stage");
        string text;
        lock (fileLock)
            text = File.Exists (f) ? File.ReadAllText (f, Utf8).Trim () : "";
        return text == "archived" ? Stage.Archived : text == "closed" ? Stage.Closed : Stage.Open;
    }

    // <login>.exempt: "1" when the tournament owes no homologation fees.
    public static bool IsExempt (string login)
    {
        string f = PathOf (login, ".exempt");
        lock (fileLock)
            return File.Exists (f) && File.ReadAllText (f, Utf8).Trim () == "1";
    }

    // The fees are known once a Papi file is online; an archived
    // tournament's invoice is no longer offered.
    public static bool HasInvoice (string login)
    {
        return StageOf (login) != Stage.Archived && File.Exists (PathOf (login, ".papi"));
    }

    // The invoice page, as the site answers it: UTF-8, with links relative
    // to the site's root, so that a saved copy needs a base element.
    public static string InvoiceHtml (string login)
    {
        string number = "H" + PublicRef (login);
        string who = HttpUtility.HtmlEncode (login);
        return "<!DOCTYPE html>\n<html lang=\"fr\">\n<head>\n"
            + "<meta charset=\"utf-8\" />\n"
            + "<title>Facture " + number + "</title>\n"
            + "<link rel=\"stylesheet\" type=\"text/css\" href=\"styles/facture.css\" />\n"
            + "</head>\n<body>\n"
            + "<img src=\"images/valider.svg\" alt=\"FFE\" />\n"
            + "<h1>Fédération Française des Échecs</h1>\n"
            + "<h2>Facture n° " + number + " : droits d'homologation</h2>\n"
            + "<p id=\"tournoi\">Tournoi " + who + "</p>\n"
            + "<p id=\"montant\">Montant dû : 15,00 €</p>\n"
            + "<p><a href=\"MonTournoi.aspx\">Retour au tournoi</a></p>\n"
            + "</body>\n</html>\n";
    }

    static void WriteAtomic (string path, byte [] bytes)
    {
        string tmp = path + ".part";
        File.WriteAllBytes (tmp, bytes);
        Replace (tmp, path);
    }

    static void Replace (string tmp, string path)
    {
        if (File.Exists (path))
            File.Replace (tmp, path, null);
        else
            File.Move (tmp, path);
    }

    public static void LogRequest (string method, string path, string target, string login)
    {
        string line = string.Format (CultureInfo.InvariantCulture, "{0} {1} {2} {3}\n",
            Field (method), Field (path), Field (target), Field (login));
        lock (fileLock)
            File.AppendAllText (Path.Combine (DataDir, "requests.log"), line, Utf8);
    }

    // One line per request, space separated: keep each field a single token.
    static string Field (string s)
    {
        if (string.IsNullOrEmpty (s))
            return "-";
        var sb = new StringBuilder (s.Length);
        foreach (char c in s)
            sb.Append (char.IsWhiteSpace (c) || char.IsControl (c) ? '_' : c);
        return sb.ToString ();
    }

    // The tournament's number on the public pages: five digits, stable per login.
    public static string PublicRef (string login)
    {
        uint h = 2166136261;
        foreach (char c in login) {
            h ^= c;
            h *= 16777619;
        }
        return (10000 + h % 90000).ToString (CultureInfo.InvariantCulture);
    }

    // Stands in for the generator field the federation's server emits and
    // Mono does not: 8 hex digits, stable per page.
    public static string ViewStateGenerator (string pagePath)
    {
        uint h = 2166136261;
        foreach (char c in pagePath.ToLowerInvariant ()) {
            h ^= c;
            h *= 16777619;
        }
        return h.ToString ("X8", CultureInfo.InvariantCulture);
    }
}

public class SiteApplication : HttpApplication
{
    public const string LoginItem = "site.login";

    public override void Init ()
    {
        base.Init ();
        // Mono leaves the charset out of Content-Type unless told; without
        // it clients fall back to ISO-8859-1 and mangle the accents.
        PreRequestHandlerExecute += delegate {
            var ctx = HttpContext.Current;
            if (ctx.Handler is System.Web.UI.Page)
                ctx.Response.Charset = ctx.Response.ContentEncoding.WebName;
        };
        PostAcquireRequestState += delegate {
            var ctx = HttpContext.Current;
            if (ctx.Session != null && !ctx.Items.Contains (LoginItem))
                ctx.Items [LoginItem] = ctx.Session ["tournoi"] as string;
        };
        EndRequest += delegate {
            var ctx = HttpContext.Current;
            var req = ctx.Request;
            string target = null;
            try {
                if (req.HttpMethod == "POST")
                    target = req.Form ["__EVENTTARGET"];
            } catch (Exception) {
                // an unreadable body is still logged, without its target
            }
            string raw = req.RawUrl ?? "";
            int q = raw.IndexOf ('?');
            Tournois.LogRequest (req.HttpMethod, q < 0 ? raw : raw.Substring (0, q), target,
                ctx.Items [LoginItem] as string);
        };
    }
}
