<%@ Page Language="C#" MasterPageFile="~/Site.master" CodeFile="MonTournoi.aspx.cs" Inherits="TournamentPage" Title="Mon tournoi" %>
<asp:Content ID="ContentMain" ContentPlaceHolderID="ContentPlaceHolderMain" runat="server">
  <h2>Tournoi <asp:Label ID="LabelTournoi" runat="server" /></h2>
  <p><asp:HyperLink ID="LinkViewTournoi" runat="server" Text="Voir la fiche publique du tournoi" /></p>
  <p><asp:Label ID="LabelStage" runat="server" /></p>
  <asp:Panel ID="PanelUploads" runat="server">
    <p>
      Fichier Papi :
      <asp:FileUpload ID="UploadPapi" runat="server" />
      <asp:LinkButton ID="CmdUploadPapi" runat="server" Text="Envoyer le fichier Papi" OnClick="CmdUploadPapi_Click" />
    </p>
    <p>
      Règlement intérieur (PDF) :
      <asp:FileUpload ID="UploadRI" runat="server" />
      <asp:LinkButton ID="CmdUploadRI" runat="server" Text="Envoyer le règlement intérieur" OnClick="CmdUploadRI_Click" />
    </p>
  </asp:Panel>
  <p><asp:Label ID="LabelError" runat="server" EnableViewState="false" /></p>
  <asp:Panel ID="PanelFacture" runat="server">
    <p>
      Droits d'homologation :
      <asp:LinkButton ID="CmdFactureHomologation" runat="server" OnClick="CmdFactureHomologation_Click" />
    </p>
  </asp:Panel>
  <p>
    <asp:Label ID="LabelEtat" runat="server" />
    <asp:LinkButton ID="CmdAfficherTournoi" runat="server" OnClick="CmdAfficherTournoi_Click" />
  </p>
</asp:Content>
