<%@ Page Language="C#" MasterPageFile="~/Site.master" CodeFile="Default.aspx.cs" Inherits="LoginPage" Title="Connexion" %>
<%@ MasterType VirtualPath="~/Site.master" %>
<asp:Content ID="ContentMain" ContentPlaceHolderID="ContentPlaceHolderMain" runat="server">
  <p>Connectez-vous avec l'identifiant et le mot de passe de votre tournoi.</p>
</asp:Content>
