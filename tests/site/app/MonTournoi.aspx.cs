using System;
using System.Globalization;
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
        if (file == null || string.IsNullOrEmpty (file.FileName)) {
            LabelMessage.Text = "Aucun fichier reçu.";
            return;
        }
        long size = Tournois.SaveUpload (login, file);
        LabelMessage.Text = string.Format (CultureInfo.InvariantCulture, "Fichier {0} reçu ({1} octets).",
            HttpUtility.HtmlEncode (file.FileName), size);
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
        LabelEtat.Text = visible ? "Le tournoi est affiché." : "Le tournoi est masqué.";
        CmdAfficherTournoi.Text = visible ? "Désactiver le tournoi" : "Activer le tournoi";
    }
}
