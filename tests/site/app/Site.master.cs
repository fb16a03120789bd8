using System;
using System.Web.UI;
using System.Web.UI.WebControls;

public partial class SiteMaster : MasterPage
{
    // Only the login page shows the login controls.
    public bool LoginVisible { get; set; }

    protected override void OnPreRender (EventArgs e)
    {
        base.OnPreRender (e);
        PanelLogin.Visible = LoginVisible;
        Page.ClientScript.RegisterHiddenField ("__VIEWSTATEGENERATOR",
            Tournois.ViewStateGenerator (Page.AppRelativeVirtualPath));
    }

    protected void CmdLogin_Click (object sender, ImageClickEventArgs e)
    {
        string login = TextLogin.Text;
        if (Tournois.CheckLogin (login, TextPassword.Text)) {
            Session ["tournoi"] = login;
            Context.Items [SiteApplication.LoginItem] = login;
            Response.Redirect ("MonTournoi.aspx"); // ends the request
            return;
        }
        LabelErreur.Text = "Identifiant ou mot de passe incorrect";
    }
}
