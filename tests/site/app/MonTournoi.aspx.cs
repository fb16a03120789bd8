using System;
using System.Globalization;
using System.IO;
using System.Web;
using System.Web.UI;

public partial class TournamentPage : Page
{
    string login;

    // Refuse a session that is not logged in before the page lifecycle
    // starts: a post carrying another page's view state must end in a
    // redirect to the login page, not in a view-state error.
    public override void ProcessRequest (HttpContext context)
    {
        login = context.Session != null ? context.Session ["tournoi"] as string : null;
        if (!Tournois.IsSafe (login)) {
            context.Response.Redirect ("Default.aspx", false);
            return;
        }
        base.ProcessRequest (context);
    }

    protected void CmdUploadPapi_Click (object sender, EventArgs e)
    {
        HttpPostedFile file = UploadPapi.PostedFile;
        string name = file == null ? "" : Path.GetFileName (file.FileName ?? "");
        // Refusals keep what the site held: a refused file is never stored.
        if (name.Length == 0)
            LabelError.Text = "Aucun fichier reçu.";
        else if (!name.EndsWith (".papi", StringComparison.OrdinalIgnoreCase))
            LabelError.Text = "Le fichier " + HttpUtility.HtmlEncode (name) + " n'est pas un fichier Papi (.papi).";
        else if (file.ContentLength == 0)
            LabelError.Text = "Le fichier " + HttpUtility.HtmlEncode (name) + " est vide.";
        else
            LabelError.Text = string.Format (CultureInfo.InvariantCulture, "Transfert du fichier : {0} ({1} octets) achevé",
                HttpUtility.HtmlEncode (name), Tournois.SaveUpload (login, file));
    }

    protected void CmdAfficherTournoi_Click (object sender, EventArgs e)
    {
        Tournois.Toggle (login);
    }

    protected override void OnPreRender (EventArgs e)
    {
        base.OnPreRender (e);
        bool visible = Tournois.IsVisible (login);
        LabelTournoi.Text = HttpUtility.HtmlEncode (login);
        LinkViewTournoi.NavigateUrl = "FicheTournoi.aspx?Ref=" + Tournois.PublicRef (login);
        LabelEtat.Text = visible ? "Le tournoi est affiché." : "Le tournoi est masqué.";
        CmdAfficherTournoi.Text = visible ? "Désactiver le tournoi" : "Activer le tournoi";
    }
}
