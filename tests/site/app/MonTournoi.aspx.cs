using System;
using System.Globalization;
using System.IO;
using System.Web;
using System.Web.UI;

public partial class TournamentPage : Page
{
    string login;
    bool invoice; // this post-back answers the invoice instead of the page

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
        LabelError.Text = Received (UploadPapi.PostedFile, ".papi", "Papi", ".papi");
    }

    protected void CmdUploadRI_Click (object sender, EventArgs e)
    {
        LabelError.Text = Received (UploadRI.PostedFile, ".ri", "PDF", ".pdf");
    }

    // Both uploads answer in the same label with the same words; a refused
    // file is never stored and changes nothing.
    string Received (HttpPostedFile file, string store, string kind, string suffix)
    {
        string name = file == null ? "" : Path.GetFileName (file.FileName ?? "");
        string shown = HttpUtility.HtmlEncode (name);
        // The page may have been served before the tournament was closed.
        if (Tournois.StageOf (login) != Tournois.Stage.Open)
            return "Le tournoi est clos : ses fichiers ne peuvent plus être modifiés.";
        if (name.Length == 0)
            return "Aucun fichier reçu.";
        if (!name.EndsWith (suffix, StringComparison.OrdinalIgnoreCase))
            return "Le fichier " + shown + " n'est pas un fichier " + kind + " (" + suffix + ").";
        if (file.ContentLength == 0)
            return "Le fichier " + shown + " est vide.";
        return string.Format (CultureInfo.InvariantCulture, "Transfert du fichier : {0} ({1} octets) achevé",
            shown, Tournois.SaveUpload (login, file, store));
    }

    protected void CmdFactureHomologation_Click (object sender, EventArgs e)
    {
        invoice = Tournois.HasInvoice (login) && !Tournois.IsExempt (login);
    }

    protected void CmdAfficherTournoi_Click (object sender, EventArgs e)
    {
        Tournois.Toggle (login);
    }

    protected override void OnPreRender (EventArgs e)
    {
        base.OnPreRender (e);
        bool visible = Tournois.IsVisible (login);
        Tournois.Stage stage = Tournois.StageOf (login);
        LabelTournoi.Text = HttpUtility.HtmlEncode (login);
        LinkViewTournoi.NavigateUrl = "FicheTournoi.aspx?Ref=" + Tournois.PublicRef (login);
        // A finished tournament's files are final: the site removes its upload controls.
        PanelUploads.Visible = stage == Tournois.Stage.Open;
        LabelStage.Text = stage == Tournois.Stage.Archived ? "Tournoi archivé."
            : stage == Tournois.Stage.Closed ? "Tournoi clos." : "";
        PanelFacture.Visible = Tournois.HasInvoice (login);
        bool exempt = Tournois.IsExempt (login);
        CmdFactureHomologation.Text = exempt ? "tournoi exempté de droits" : "afficher la facture";
        CmdFactureHomologation.Enabled = !exempt;
        LabelEtat.Text = visible ? "Le tournoi est affiché." : "Le tournoi est masqué.";
        CmdAfficherTournoi.Text = visible ? "Désactiver le tournoi" : "Activer le tournoi";
    }

    protected override void Render (HtmlTextWriter writer)
    {
        if (invoice)
            writer.Write (Tournois.InvoiceHtml (login));
        else
            base.Render (writer);
    }
}
