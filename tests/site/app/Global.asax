<%@ Application Language="C#" Inherits="SiteApplication" %>
