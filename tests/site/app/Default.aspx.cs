using System;
using System.Web.UI;

public partial class LoginPage : Page
{
    protected override void OnLoad (EventArgs e)
    {
        base.OnLoad (e);
        Master.LoginVisible = true;
    }
}
